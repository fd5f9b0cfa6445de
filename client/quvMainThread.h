#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ProcessSlot.h"
#include "platform/Sync.h"

namespace quv {

// The application's main thread as other threads reach it: replies of queued
// calls are applied there, and a call that waits in the background keeps the
// application live there. Implementations are thread-safe.
class IquvMainThread {
 public:
  virtual ~IquvMainThread() = default;
  // Runs `job` on the main thread and returns once it has run (at once when
  // called there); false when the main thread takes no more jobs and `job`
  // did not run.
  virtual bool Send(const std::function<void()>& job) = 0;
  // On the main thread: handles one message, waiting up to `waitMs` for
  // one; false once the application is ending.
  virtual bool HandleOneMessage(uint32_t waitMs) = 0;
  virtual bool IsMainThread() const = 0;
};

// Installs the main thread of a window system (null: the plain one); what is
// installed must stay alive while installed.
void SetMainThread(IquvMainThread* mainThread);
IquvMainThread& MainThread();

// Marks, while it lives, a thread that hands one job after another to the
// main thread (an execute thread working off its queue). The plain main
// thread and such a sender spin on a hand-over only while at most one is
// marked: with several, the jobs keep the main thread busy anyway, and the
// spinning would take the processors from the threads it waits for.
class TBusySender final {
 public:
  TBusySender();
  ~TBusySender();
  TBusySender(const TBusySender&) = delete;
  TBusySender& operator=(const TBusySender&) = delete;
  // The senders marked now.
  static int Count();
};

// Waits up to `timeoutMs` (platform clock) for `event`; on the main thread it
// keeps handling messages meanwhile, in slices of 100 ms, so that a thread
// sending to the main thread is not left waiting. True when signalled.
bool WaitHandlingMessages(TEvent& event, uint32_t timeoutMs);

// The main thread of programs without a window system: the thread that made
// it, which runs the jobs sent to it in HandleOneMessage, one per call (on
// another thread HandleOneMessage only waits).
class TquvPlainMainThread final : public IquvMainThread {
 public:
  // The calling thread becomes the main thread.
  TquvPlainMainThread();
  ~TquvPlainMainThread() override;
  TquvPlainMainThread(const TquvPlainMainThread&) = delete;
  TquvPlainMainThread& operator=(const TquvPlainMainThread&) = delete;

  bool Send(const std::function<void()>& job) override;
  bool HandleOneMessage(uint32_t waitMs) override;
  bool IsMainThread() const override;
  // Refuses the jobs still waiting and every later one; HandleOneMessage
  // answers false from now on.
  void Close();

 private:
  enum class TJobState { Waiting, Running, Done, Refused };
  // Lives on its sender's stack until it is done or refused.
  struct TJob {
    explicit TJob(const std::function<void()>& run) : Run(run) {}
    const std::function<void()>& Run;
    std::atomic<TJobState> State{TJobState::Waiting};  // changed under FLock
    std::condition_variable Ended;                     // notified under FLock
  };

  static bool Over(const TJob& job);

  void Finish(TJob& job);

  const std::thread::id FThread;
  std::mutex FLock;
  std::condition_variable FArrived;  // a job, or Close
  std::deque<TJob*> FJobs;
  std::atomic<std::size_t> FJobCount{0};  // FJobs.size(), readable without FLock
  bool FClosed = false;
};

// Makes the plain main thread of this process; the calling thread (the one
// that runs main) becomes the main thread.
std::unique_ptr<TScopePart> MakePlainMainThread();
// The plain main thread of this process.
TquvPlainMainThread& PlainMainThread();

}  // namespace quv
