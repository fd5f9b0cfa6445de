#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quv {

// The port a server listens on unless its address names another.
inline constexpr uint16_t kDefaultServerPort = 6015;

struct THostPort {
  std::string Host;
  uint16_t Port = kDefaultServerPort;
};

// Splits a server address "host" or "host:port" at its first ':'. Without
// ':' the port is the default one; a port that is not a decimal number from
// 0 to 65535 reads as 0.
THostPort SplitHostPort(std::string_view address);

// Whether `host` is written as a numeric IPv4 address: only digits and dots,
// with exactly three dots.
bool IsNumericAddress(std::string_view host);

// Why `address` ("host" or "host:port") cannot name a server: no host, a
// numeric host that is not a full dotted quad, or a port that is not a
// decimal number from 1 to 65535. Empty when it can.
std::string AddressProblem(std::string_view address);

}  // namespace quv
