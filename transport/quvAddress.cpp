#include "transport/quvAddress.h"

#include <algorithm>
#include <charconv>

#include "platform/StrUtils.h"

namespace quv {

THostPort SplitHostPort(std::string_view address) {
  const std::size_t colon = address.find(':');
  if (colon == std::string_view::npos) return THostPort{std::string(address), kDefaultServerPort};
  const int32_t port = StrToIntDef(address.substr(colon + 1), -1);
  return THostPort{std::string(address.substr(0, colon)),
                   static_cast<uint16_t>(port >= 0 && port <= 65535 ? port : 0)};
}

namespace {

bool IsDigitsAndDots(std::string_view host) {
  return std::all_of(host.begin(), host.end(),
                     [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

bool IsPortNumber(std::string_view port) {
  int32_t value = 0;
  const auto parsed = std::from_chars(port.data(), port.data() + port.size(), value);
  return parsed.ec == std::errc() && parsed.ptr == port.data() + port.size() && value >= 1 &&
         value <= 65535;
}

}  // namespace

bool IsNumericAddress(std::string_view host) {
  return IsDigitsAndDots(host) && std::count(host.begin(), host.end(), '.') == 3;
}

std::string AddressProblem(std::string_view address) {
  const std::size_t colon = address.find(':');
  const std::string_view host = address.substr(0, colon);
  if (host.empty()) return "no host name in \"" + std::string(address) + "\"";
  if (IsDigitsAndDots(host) && !IsNumericAddress(host))
    return "\"" + std::string(host) + "\" is not a full dotted quad (four numbers)";
  if (colon != std::string_view::npos && !IsPortNumber(address.substr(colon + 1)))
    return "the port must be a number from 1 to 65535, not \"" +
           std::string(address.substr(colon + 1)) + "\"";
  return {};
}

}  // namespace quv
