#pragma once

#include <cstdint>

namespace quv {

// The process's limits on open files: the soft one in force and the hard one
// it may be raised to.
struct TOpenFileLimits {
  uint64_t Soft = 0;
  uint64_t Hard = 0;
};

// Where the limits are read and set; the system's by default, a stand-in in tests.
class IOpenFileLimitSystem {
 public:
  virtual ~IOpenFileLimitSystem() = default;
  virtual TOpenFileLimits Read() = 0;
  // Sets the soft limit; false when the system refuses.
  virtual bool SetSoft(uint64_t soft) = 0;
};

IOpenFileLimitSystem& SystemOpenFileLimits();

// Raises the soft limit to the hard one, so that a client watching thousands
// of servers does not run out of descriptors at the usual 1,024. When the
// system refuses (a hard limit without bound on a system with a fixed
// ceiling), the soft limit stays. Returns the soft limit in force afterwards.
uint64_t RaiseOpenFileLimit(IOpenFileLimitSystem& system = SystemOpenFileLimits());

// The soft limit in force.
uint64_t OpenFileSoftLimit(IOpenFileLimitSystem& system = SystemOpenFileLimits());

}  // namespace quv
