#pragma once

#include <atomic>
#include <cstdint>

namespace quv {

// Waits until a descriptor (a terminal's input) is readable, another thread
// calls Wake, a signal arrives (a stop signal, a window resize) or a time
// runs out, whichever comes first. A program whose one thread both reads
// input and shows what other threads deliver sleeps here. Wake may be called
// from any thread; the rest from the owner's thread.
class TInputWait final {
 public:
  static constexpr int kStandardInput = 0;

  // Raises EOSError when the wake-up pipe cannot be made.
  explicit TInputWait(int fd);
  ~TInputWait();
  TInputWait(const TInputWait&) = delete;
  TInputWait& operator=(const TInputWait&) = delete;

  // Has SIGINT and SIGTERM end the wait and set StopRequested, for one
  // waiter of the process at a time.
  void WakeOnStopSignals();
  bool StopRequested() const;
  void Wake();
  // Returns after at most `ms` milliseconds; false when the descriptor has
  // hung up (the terminal is gone).
  bool Wait(uint32_t ms);

 private:
  int FFd;
  int FPipe[2] = {-1, -1};
};

}  // namespace quv
