#include "tools/quvcall/CallHost.h"

#include <charconv>

#include "tools/common/ToolMain.h"
#include "transport/quvScktComp.h"

namespace quv::calltool {

THostPort ParseHostOption(const std::string& text) {
  const std::size_t colon = text.find(':');
  THostPort result{text.substr(0, colon), kDefaultServerPort};
  if (result.Host.empty()) throw toolmain::EUsageError("--host: no host name in \"" + text + "\"");
  if (colon == std::string::npos) return result;
  const std::string port = text.substr(colon + 1);
  int32_t value = 0;
  const auto parsed = std::from_chars(port.data(), port.data() + port.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != port.data() + port.size() || value < 1 ||
      value > 65535) {
    throw toolmain::EUsageError("--host: the port must be a number from 1 to 65535, not \"" + port +
                                "\"");
  }
  result.Port = static_cast<uint16_t>(value);
  return result;
}

void CheckHostResolves(const std::string& host) {
  const std::string failure = HostLookupFailure(host);
  if (!failure.empty())
    throw toolmain::EToolError("cannot resolve the host \"" + host + "\": " + failure);
}

}  // namespace quv::calltool
