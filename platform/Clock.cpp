#include "platform/Clock.h"

#include <chrono>

#include "platform/DateTime.h"

namespace quv {

namespace {

// Constant-initialised: ready before anything runs, and holding no state.
constinit TSystemClock gSystemClock;
constinit std::atomic<TClock*> gClock{&gSystemClock};

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

void TSystemClock::WaitOn(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                          uint32_t ms) {
  changed.wait_for(lock, std::chrono::milliseconds(ms));
}

void TManualClock::WaitOn(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                          uint32_t) {
  changed.wait_for(lock, std::chrono::milliseconds(1));
}

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
