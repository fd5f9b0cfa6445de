#include "transport/quvAddress.h"

#include <algorithm>

#include "platform/StrUtils.h"

namespace quv {

THostPort SplitHostPort(std::string_view address) {
  const std::size_t colon = address.find(':');
  if (colon == std::string_view::npos) return THostPort{std::string(address), kDefaultServerPort};
  const int32_t port = StrToIntDef(address.substr(colon + 1), -1);
  return THostPort{std::string(address.substr(0, colon)),
                   static_cast<uint16_t>(port >= 0 && port <= 65535 ? port : 0)};
}

bool IsNumericAddress(std::string_view host) {
  const bool digitsAndDots = std::all_of(host.begin(), host.end(),
                                         [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
  return digitsAndDots && std::count(host.begin(), host.end(), '.') == 3;
}

}  // namespace quv
