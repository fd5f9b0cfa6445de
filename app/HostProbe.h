#pragma once

#include <string>

#include "transport/quvAddress.h"

namespace quv {

// Checks that a server can be reached before it is called. Thread-safe.
class IHostProbe {
 public:
  virtual ~IHostProbe() = default;
  // Raises an exception when `address` cannot be reached.
  virtual void Probe(const std::string& address) = 0;
  // The longest a probe waits, in milliseconds.
  virtual int TimeoutMs() const = 0;
};

// Opens and closes a TCP connection to the address's port within a connect
// time-out. Names are resolved as IPv4 addresses.
class TTcpProbe final : public IHostProbe {
 public:
  explicit TTcpProbe(int timeoutMs = 500) : FTimeoutMs(timeoutMs) {}
  void Probe(const std::string& address) override;
  int TimeoutMs() const override { return FTimeoutMs; }

 private:
  int FTimeoutMs;
};

}  // namespace quv
