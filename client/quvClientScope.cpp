#include "client/quvClientScope.h"

#include "client/Activities.h"
#include "client/ProcessInfo.h"
#include "client/quvClient.h"
#include "client/quvExecCommand.h"
#include "client/quvMainThread.h"
#include "platform/FileWatcher.h"
#include "platform/ThreadReaper.h"
#include "server/common/quvIntfRegistry.h"
#include "transport/logfiles.h"
#include "transport/quvClientCfg.h"
#include "transport/quvConPool.h"
#include "transport/quvlocatorclient.h"

namespace quv {

TClientScope::TClientScope() {
  FParts.Add(MakeClientSettings());
  FParts.Add(MakeProcessLogFiles());
  FParts.Add(MakePoolList());
  FParts.Add(MakeDefaultPool());
  FParts.Add(MakeLocatorCache());
  FParts.Add(MakeFileWatcherSlot());
  FParts.Add(MakeInterfaceRegistry());
  FParts.Add(MakeActivityList());
  FParts.Add(MakeProcessInfoBlock());
  FParts.Add(MakeClientBrokerBridge());
  FParts.Add(MakePlainMainThread());
  FParts.Add(MakeThreadReaper());
  FParts.Add(MakeClientUnit());
}

TClientScope::~TClientScope() {
  TConnectionPool& pool = DefaultPool();
  pool.SetClosed(true);
  pool.InterruptInUse();
}

}  // namespace quv
