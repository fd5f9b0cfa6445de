#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quv {

// A re-entrant lock; usable with std::lock_guard. Thread-safe.
class TCriticalSection final {
 public:
  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  bool TryEnter() { return FMutex.try_lock(); }
  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex FMutex;
};

// An event that threads wait for: manual reset stays signalled until reset,
// auto reset releases one waiter and resets itself. Thread-safe.
class TEvent final {
 public:
  explicit TEvent(bool manualReset = true, bool initialState = false)
      : FManualReset(manualReset), FSignalled(initialState) {}
  void SetEvent();
  void ResetEvent();
  // Waits up to `timeoutMs` (kInfinite: forever); true when signalled.
  bool WaitFor(uint32_t timeoutMs);

  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  const bool FManualReset;
  bool FSignalled;
};

// A hint to the processor that this thread is spinning.
inline void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Checks `done` up to `rounds` times, pausing the processor between checks;
// true as soon as it holds. For hand-overs between threads that usually end
// within microseconds: a sleep and wake-up costs far more, most of all on a
// virtual machine. Every 64th round yields, so a waiter on a busy core lets
// the thread it waits for run.
template <typename TDone>
bool SpinUntil(TDone done, int rounds) {
  for (int round = 1; round <= rounds; ++round) {
    if (done()) return true;
    if (round % 64 == 0)
      std::this_thread::yield();
    else
      CpuPause();
  }
  return done();
}

}  // namespace quv
