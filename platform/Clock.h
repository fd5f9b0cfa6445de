#pragma once

#include <atomic>
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
};

// The real clock: steady_clock for ticks and counter, the local wall clock for Now.
class TSystemClock final : public TClock {
 public:
  uint32_t TickCount() override;
  int64_t Nanoseconds() override;
  double Now() override;
};

// A clock that moves only when told to.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(uint32_t tick = 0, double now = 0) : FTick(tick), FNow(now) {}
  uint32_t TickCount() override { return FTick.load(); }
  int64_t Nanoseconds() override { return static_cast<int64_t>(FTick.load()) * 1000000; }
  double Now() override;
  void Advance(uint32_t ms);
  void SetNow(double now);

 private:
  std::atomic<uint32_t> FTick;
  std::mutex FLock;
  double FNow;
};

// The process-wide clock: the system clock unless a test installed another.
TClock& Clock();

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
