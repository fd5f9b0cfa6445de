#include "app/RemoteCalls.h"

#include "platform/Exception.h"

namespace quv {

namespace {

[[noreturn]] void RaiseUnavailable(const std::string& method) {
  throw Exception("Erro chamando " + method + ":Remote call not available in this build");
}

}  // namespace

std::unique_ptr<IReplyRows> TUnavailableRemoteCalls::ExecMethod(const std::string& method,
                                                                const std::string&) {
  RaiseUnavailable(method);
}

void TUnavailableRemoteCalls::ExecMethodValues(const std::string& method, const std::string&,
                                               const std::string&, const std::string&) {
  RaiseUnavailable(method);
}

}  // namespace quv
