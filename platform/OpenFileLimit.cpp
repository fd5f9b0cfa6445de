#include "platform/OpenFileLimit.h"

#include <sys/resource.h>

namespace quv {

namespace {

class TSystemOpenFileLimits final : public IOpenFileLimitSystem {
 public:
  TOpenFileLimits Read() override {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return {};
    return {limits.rlim_cur, limits.rlim_max};
  }
  bool SetSoft(uint64_t soft) override {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return false;
    limits.rlim_cur = soft;
    return ::setrlimit(RLIMIT_NOFILE, &limits) == 0;
  }
};

}  // namespace

IOpenFileLimitSystem& SystemOpenFileLimits() {
  static TSystemOpenFileLimits system;
  return system;
}

uint64_t RaiseOpenFileLimit(IOpenFileLimitSystem& system) {
  const TOpenFileLimits limits = system.Read();
  if (limits.Soft < limits.Hard && system.SetSoft(limits.Hard)) return limits.Hard;
  return limits.Soft;
}

uint64_t OpenFileSoftLimit(IOpenFileLimitSystem& system) { return system.Read().Soft; }

}  // namespace quv
