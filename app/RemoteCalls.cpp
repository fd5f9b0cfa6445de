#include "app/RemoteCalls.h"

#include "app/ReplyTable.h"
#include "client/quvClient.h"
#include "server/common/quvIntfRegistry.h"
#include "transport/quvClientCfg.h"
#include "transport/quvConPool.h"

namespace quv {

namespace {

constexpr int32_t kRefreshCallTimeoutMs = 500;

}  // namespace

void TClientRemoteCalls::PrepareRefresh() {
  SetUpdatesOff(true);
  TquvClientCfg::SetTimeout(kRefreshCallTimeoutMs);
}

int32_t TClientRemoteCalls::RefreshCallTimeoutMs() const { return kRefreshCallTimeoutMs; }

std::unique_ptr<IReplyRows> TClientRemoteCalls::ExecMethod(const std::string& method,
                                                           const std::string& host) {
  std::unique_ptr<TquvClientRecordset> rows;
  quv::ExecMethod(method, {}, {}, rows, host);
  return std::make_unique<TReplyTable>(*rows);
}

void TClientRemoteCalls::ExecMethodValues(const std::string& method, const std::string& paramName,
                                          const std::string& paramValue, const std::string& host) {
  TVariant row;
  quv::ExecMethodValues(method, {paramName}, {paramValue}, row, host);
}

void TClientRemoteCalls::InterruptCallsInFlight() { DefaultPool().InterruptInUse(); }

}  // namespace quv
