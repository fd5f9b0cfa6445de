#include "transport/quvBandWidth.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "platform/Clock.h"

namespace quv {

namespace {

std::atomic<int32_t> gBandWidthLimit{0};
std::atomic<int32_t> gActiveSenders{0};

constexpr double kCounterFrequency = 1e9;  // the clock's counter runs in nanoseconds
constexpr int32_t kMaxWaitMs = 500;        // a throttled writer re-measures at least twice a second

void SleepThread(int32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int32_t BandWidthLimit() { return gBandWidthLimit.load(); }
void SetBandWidthLimit(int32_t kilobitsPerSecond) { gBandWidthLimit.store(kilobitsPerSecond); }

int32_t ActiveSenders() { return gActiveSenders.load(); }
void IncActiveSenders() { gActiveSenders.fetch_add(1); }
void DecActiveSenders() { gActiveSenders.fetch_sub(1); }

TBandWidthControl::TBandWidthControl() : FSleep(SleepThread) {
  // Kilobits to bytes with 3% head room for framing; nearbyint rounds ties to even.
  FLimit = static_cast<int32_t>(std::nearbyint(BandWidthLimit() * 1.03 / 8 * 1024));
  const int64_t first = Clock().Nanoseconds();
  FOverhead = Clock().Nanoseconds() - first;
  Restart();
}

void TBandWidthControl::Restart() {
  FStart = Clock().Nanoseconds();
  FSent = 0;
}

void TBandWidthControl::Throttle(int32_t bytes) {
  if (!Active()) return;
  FSent += bytes;
  for (int32_t wait = PendingWait(); wait > 0; wait = PendingWait()) FSleep(wait);
}

int32_t TBandWidthControl::PendingWait() {
  FNow = Clock().Nanoseconds();
  const double elapsed = static_cast<double>(FNow - FStart - FOverhead) / kCounterFrequency;
  // Outside a command nobody counts as sending, and a limit below the number
  // of senders still leaves each one byte per second: never divide by zero.
  const int32_t senders = std::max(1, ActiveSenders());
  const int32_t perSender = std::max(1, FLimit / senders);
  const double rate = static_cast<double>(FSent) / elapsed;
  if (!(perSender < rate)) return 0;
  const double waitMs = std::nearbyint((static_cast<double>(FSent) / perSender - elapsed) * 1000);
  // Over the share by less than half a millisecond still waits one, rather than spin.
  return static_cast<int32_t>(std::clamp(waitMs, 1.0, double(kMaxWaitMs)));
}

}  // namespace quv
