#include "platform/Clock.h"

#include <chrono>

#include "platform/DateTime.h"

namespace quv {

namespace {

// The system clock is ready before any static constructor runs and is never
// destroyed, so that objects of static storage may read the time while the
// process starts and ends, whatever the order of their units.
union TImmortalSystemClock {
  constexpr TImmortalSystemClock() : Clock() {}
  ~TImmortalSystemClock() {}
  TSystemClock Clock;
};

constinit TImmortalSystemClock gSystemClock;
constinit std::atomic<TClock*> gClock{&gSystemClock.Clock};

}  // namespace

uint32_t TSystemClock::TickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t TSystemClock::Nanoseconds() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

double TSystemClock::Now() { return LocalNow(); }

double TManualClock::Now() {
  std::lock_guard<std::mutex> guard(FLock);
  return FNow;
}

void TManualClock::Advance(uint32_t ms) {
  FTick.fetch_add(ms);
  std::lock_guard<std::mutex> guard(FLock);
  FNow += ms / 86400000.0;
}

void TManualClock::SetNow(double now) {
  std::lock_guard<std::mutex> guard(FLock);
  FNow = now;
}

TClock& Clock() { return *gClock.load(); }

TClockOverride::TClockOverride(TClock& clock) : FPrevious(gClock.exchange(&clock)) {}

TClockOverride::~TClockOverride() { gClock.store(FPrevious); }

}  // namespace quv
