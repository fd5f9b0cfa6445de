#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/Thread.h"

namespace quv {

class TProbeThread;

// One thread for the whole server that wakes the probe thread of a call once
// the call outlasts its first deadline. Arming a call only files the deadline
// here, so the many calls that end before it cost no thread switch; a burst of
// calls on many connections costs one wake-up of this thread. Its thread
// starts with the first deadline; it must outlive every probe thread that
// uses it.
class TProbeTimer final : public TThread {
 public:
  using TTime = std::chrono::steady_clock::time_point;

  TProbeTimer() = default;
  ~TProbeTimer() override;

  // Wakes `prober` at `at`, replacing a deadline it had.
  void Schedule(TProbeThread& prober, TTime at);
  // Drops the deadline of `prober`; once this returns, the timer leaves it alone.
  void Cancel(TProbeThread& prober);
  void Stop();

 protected:
  void Execute() override;

 private:
  using TDeadlines = std::multimap<TTime, TProbeThread*>;

  void Remove(TProbeThread& prober);

  std::mutex FLock;
  std::condition_variable FChanged;
  TDeadlines FDeadlines;                                     // guarded by FLock
  std::map<TProbeThread*, TDeadlines::iterator> FScheduled;  // the same, by prober
  TTime FWaitingUntil = TTime::max();  // when the thread's current wait ends
  bool FRunning = false;
};

}  // namespace quv
