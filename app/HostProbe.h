#pragma once

#include <cstdint>
#include <string>

namespace quv {

// The port a server listens on unless its address names another.
inline constexpr uint16_t kDefaultServerPort = 6015;

struct THostPort {
  std::string Host;
  uint16_t Port = kDefaultServerPort;
};

// Splits "host:port"; without ":" the port is the default one, and a port
// that is not a number from 0 to 65535 reads as 0.
THostPort SplitHostPort(const std::string& address);

// Checks that a server can be reached before it is called. Thread-safe.
class IHostProbe {
 public:
  virtual ~IHostProbe() = default;
  // Raises an exception when `address` cannot be reached.
  virtual void Probe(const std::string& address) = 0;
};

// Opens and closes a TCP connection to the address's port within a connect
// time-out. Names are resolved as IPv4 addresses.
class TTcpProbe final : public IHostProbe {
 public:
  explicit TTcpProbe(int timeoutMs = 500) : FTimeoutMs(timeoutMs) {}
  void Probe(const std::string& address) override;

 private:
  int FTimeoutMs;
};

}  // namespace quv
