#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

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

}  // namespace quv
