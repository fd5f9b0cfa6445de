#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace quv {

// The longest validity an answer can carry: six decimal digits of ms.
inline constexpr int32_t kMaxLocatorValidityMs = 999999;

// What the server says to locator requests, over UDP and over "QULS". Made
// before the connections start, read-only afterwards, so it needs no lock.
class TLocatorAnswer final {
 public:
  // `libraries`: the libraries served, lower case; `address`: the server
  // address the answers carry; `validityMs`: the validity suffix (at most
  // kMaxLocatorValidityMs), -1 for none.
  TLocatorAnswer(std::set<std::string> libraries, std::string address, int32_t validityMs);

  // The answer to `message`, "#COMMAND#SERVER_IMPLEMENTS_LIBRARY_3 <library>"
  // + optionally a blank and the address of the locator asked + "#END#":
  // "#RESPONSE#<library> <address>#END#" and the validity suffix, when the
  // library (without regard to case) is one of ours; empty otherwise.
  std::string Respond(std::string_view message) const;

  const std::string& Address() const { return FAddress; }

 private:
  // The library `message` asks for; empty when it is no library request.
  static std::string_view RequestedLibrary(std::string_view message);
  std::string ValiditySuffix() const;

  const std::set<std::string> FLibraries;
  const std::string FAddress;
  const int32_t FValidityMs;
};

// `host`, with ":" + `port` unless it is the default server port.
std::string ServerAddressText(const std::string& host, uint16_t port);

}  // namespace quv
