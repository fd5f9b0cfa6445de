#pragma once

#include <atomic>
#include <thread>

namespace quv {

// A thread created suspended: Start runs Execute on a new thread; Terminate
// asks it to stop (Execute polls Terminated); WaitFor joins it. The owner
// joins: a descendant whose Execute uses its own members must call
// TerminateAndWait in its destructor, before those members go; the base
// destructor joins as a last resort. Start, Terminate and WaitFor may be
// called from any thread but the thread itself.
class TThread {
 public:
  TThread() = default;
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  void Terminate() {
    FTerminated.store(true);
    TerminateRequested();
  }
  bool Terminated() const { return FTerminated.load(); }
  // True once Execute has returned.
  bool Finished() const { return FFinished.load(); }
  // The identifier of the running thread; none before Start.
  std::thread::id ThreadId() const { return FThread.get_id(); }
  void WaitFor();
  void TerminateAndWait();

 protected:
  virtual void Execute() = 0;
  // Runs on the thread that calls Terminate: a descendant whose run waits on
  // a condition of its own wakes it here, so that it sees Terminated at once.
  virtual void TerminateRequested() {}

 private:
  void Run();

  std::thread FThread;
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
};

// The highest nice value, the lowest scheduling priority a thread can have.
inline constexpr int kLowestThreadNice = 19;

// The calling thread's nice value (-20 .. 19; a higher value runs less often).
int CurrentThreadNice();
// Lowers the calling thread's priority one step, its nice value + 1, and no
// other thread's. Raising it again needs privilege, so this is one way.
// False when the system refuses.
bool LowerCurrentThreadPriority();

}  // namespace quv
