#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/HostProbe.h"
#include "app/HostStatus.h"
#include "app/RefreshT.h"
#include "app/RemoteCalls.h"
#include "platform/WorkerPool.h"

namespace quv {

// Refreshes of one host list run one after the other by a thread that waits
// for each: the same refresh as the window's (threads, deadline, a host
// whose call still runs is not called again). A refresh delivered at its
// deadline with calls still running is kept until they end. "calls" and
// "probe" must outlive it; destroying it waits for the calls still running.
// One thread.
class TBlockingRefresh final {
 public:
  TBlockingRefresh(std::vector<std::string> hosts, IRemoteCalls& calls, IHostProbe& probe);
  ~TBlockingRefresh();

  const std::vector<std::string>& Hosts() const { return FHosts; }
  // Refreshes the task (or session) list of every host and returns once the
  // refresh is delivered; its results are the caller's to take.
  TRefreshT& Run(bool sessions);

 private:
  const std::vector<std::string> FHosts;
  IRemoteCalls& FCalls;
  IHostProbe& FProbe;
  TWorkerPool FWorkers{TRefreshT::kMaxConcurrentHosts - 1};
  THostCallTable FTable;
  std::vector<std::unique_ptr<TRefreshT>> FRefreshes;  // the last, and those with calls running
};

}  // namespace quv
