#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quv {

// The source of time for everything that waits, expires or rolls over, so
// that tests can drive time instead of sleeping. Implementations are
// thread-safe.
class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds since an arbitrary start; wraps around at 2^32 like a tick count.
  virtual uint32_t TickCount() = 0;
  // High-resolution counter in nanoseconds since an arbitrary start.
  virtual int64_t Nanoseconds() = 0;
  // Local date-time: days since 30 December 1899, the fraction is the time of day.
  virtual double Now() = 0;
  // Waits on `changed` (with `lock` held) for at most `ms` of this clock; may
  // end early, on a notification or when the clock has moved.
  virtual void WaitOn(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                      uint32_t ms) = 0;
};

// Whether the tick count `due` has come at tick count `now` (tick counts wrap around).
inline bool TickHasCome(uint32_t now, uint32_t due) { return static_cast<int32_t>(now - due) >= 0; }

// The real clock: steady_clock for ticks and counter, the local wall clock for Now.
class TSystemClock final : public TClock {
 public:
  uint32_t TickCount() override;
  int64_t Nanoseconds() override;
  double Now() override;
  void WaitOn(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
              uint32_t ms) override;
};

// A clock that moves only when told to.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(uint32_t tick = 0, double now = 0) : FTick(tick), FNow(now) {}
  uint32_t TickCount() override { return FTick.load(); }
  int64_t Nanoseconds() override { return static_cast<int64_t>(FTick.load()) * 1000000; }
  double Now() override;
  // Waits a moment of real time, so that the waiter sees an Advance at once.
  void WaitOn(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
              uint32_t ms) override;
  void Advance(uint32_t ms);
  void SetNow(double now);

 private:
  std::atomic<uint32_t> FTick;
  std::mutex FLock;
  double FNow;
};

// The process-wide clock: the system clock unless a test installed another.
TClock& Clock();

// Waits on `changed` (with `lock` held) until `done()` holds or `timeoutMs`
// of the process clock have passed; true when done() holds. Whoever makes
// done() hold notifies `changed` under the lock.
template <class TDone>
bool WaitOnClock(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 uint32_t timeoutMs, TDone done) {
  TClock& clock = Clock();
  const uint32_t start = clock.TickCount();
  while (!done()) {
    const uint32_t elapsed = clock.TickCount() - start;
    if (elapsed >= timeoutMs) return false;
    clock.WaitOn(lock, changed, timeoutMs - elapsed);
  }
  return true;
}

// Installs `clock` as the process-wide clock until the guard is destroyed.
// "*clock" must outlive the guard.
class TClockOverride final {
 public:
  explicit TClockOverride(TClock& clock);
  ~TClockOverride();
  TClockOverride(const TClockOverride&) = delete;
  TClockOverride& operator=(const TClockOverride&) = delete;

 private:
  TClock* FPrevious;
};

}  // namespace quv
