#pragma once

#include <cstdint>
#include <functional>

namespace quv {

// The process-wide bandwidth limit in kilobits per second; 0 means no limit.
// Only controls created after a change see the new value.
int32_t BandWidthLimit();
void SetBandWidthLimit(int32_t kilobitsPerSecond);

// The number of package writers sending a command at this moment; the limit
// is shared equally among them. Changed atomically from any thread.
int32_t ActiveSenders();
void IncActiveSenders();
void DecActiveSenders();

// Waits the given number of milliseconds.
using TSleepProc = std::function<void(int32_t ms)>;

// Throttles one writer so that all writers together stay under the
// process-wide limit. Time comes from the process-wide clock's counter.
// Belongs to one writer and its thread.
class TBandWidthControl final {
 public:
  TBandWidthControl();

  bool Active() const { return FLimit > 0; }
  // Bytes per second for all writers together (0 when inactive).
  int32_t Limit() const { return FLimit; }
  // Starts a new measurement: now, nothing sent.
  void Restart();
  // Counts `bytes` as sent and sleeps while this writer is above its share.
  void Throttle(int32_t bytes);
  // Replaces the thread sleep (tests pass one that advances a test clock).
  void SetSleepProc(TSleepProc sleep) { FSleep = std::move(sleep); }

 private:
  // The wait in ms for this pass of Throttle, or 0 when the writer is within its share.
  int32_t PendingWait();

  int64_t FStart = 0;     // counter at the last restart, ns
  int64_t FNow = 0;       // counter at the last measurement, ns
  int64_t FOverhead = 0;  // cost of one counter reading, ns
  int32_t FLimit = 0;     // bytes per second
  int64_t FSent = 0;      // bytes since the last restart
  TSleepProc FSleep;
};

}  // namespace quv
