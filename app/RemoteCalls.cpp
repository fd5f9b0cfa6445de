#include "app/RemoteCalls.h"

#include "app/ReplyTable.h"
#include "client/quvClient.h"
#include "platform/Cp1252.h"
#include "server/common/quvIntfRegistry.h"
#include "transport/quvClientCfg.h"
#include "transport/quvConPool.h"
#include "transport/quvScktComp.h"
#include "transport/quvpack.h"

namespace quv {

namespace {

constexpr int32_t kRefreshCallTimeoutMs = 500;

}  // namespace

std::string CallFailureCause(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const ENoDataError&) {
    return std::string("o servidor não respondeu a tempo"_cp);
  } catch (const ENoConnectionError& e) {
    return std::string("sem conexão com o servidor ("_cp) + e.what() + ")";
  } catch (const ESocketError& e) {
    return std::string("sem conexão com o servidor ("_cp) + e.what() + ")";
  } catch (const EPackageError& e) {
    return std::string("o servidor não confirmou o pedido ("_cp) + e.what() + ")";
  } catch (const EquvRemoteError& e) {
    return std::string("o servidor recusou o pedido: "_cp) + e.what();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "erro desconhecido";
  }
}

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
