#include "tools/quvcall/CallHost.h"

#include "tools/common/ToolMain.h"
#include "transport/quvScktComp.h"

namespace quv::calltool {

THostPort ParseHostOption(const std::string& text) {
  const std::string problem = AddressProblem(text);
  if (!problem.empty()) throw toolmain::EUsageError("--host: " + problem);
  return SplitHostPort(text);
}

void CheckHostResolves(const std::string& host) {
  const std::string failure = HostLookupFailure(host);
  if (!failure.empty())
    throw toolmain::EToolError("cannot resolve the host \"" + host + "\": " + failure);
}

}  // namespace quv::calltool
