#include "appserver/quvProbeTimer.h"

#include <algorithm>

#include "appserver/quvProbeThread.h"

namespace quv {

TProbeTimer::~TProbeTimer() { Stop(); }

void TProbeTimer::Schedule(TProbeThread& prober, TTime at) {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(FLock);
    Remove(prober);
    FScheduled.emplace(&prober, FDeadlines.emplace(at, &prober));
    if (!FRunning) {
      FRunning = true;
      Start();
    }
    // A deadline after the end of the thread's wait is found when that wait ends.
    wake = at < FWaitingUntil;
    if (wake) FWaitingUntil = at;
  }
  if (wake) FChanged.notify_one();
}

void TProbeTimer::Cancel(TProbeThread& prober) {
  std::lock_guard<std::mutex> guard(FLock);
  Remove(prober);
}

void TProbeTimer::Remove(TProbeThread& prober) {
  const auto found = FScheduled.find(&prober);
  if (found == FScheduled.end()) return;
  FDeadlines.erase(found->second);
  FScheduled.erase(found);
}

void TProbeTimer::Stop() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    Terminate();
  }
  FChanged.notify_one();
  WaitFor();
}

void TProbeTimer::Execute() {
  std::unique_lock<std::mutex> lock(FLock);
  while (!Terminated()) {
    const TTime now = std::chrono::steady_clock::now();
    if (!FDeadlines.empty() && FDeadlines.begin()->first <= now) {
      const auto first = FDeadlines.begin();
      // Woken under this lock, so that a Cancel that returned is never followed by a wake-up.
      first->second->WakeForDeadline();
      FScheduled.erase(first->second);
      FDeadlines.erase(first);
      continue;
    }
    // A wait runs to its end even when its deadline was cancelled meanwhile,
    // so that the deadlines of the calls that follow need no wake-up.
    if (FWaitingUntil <= now) FWaitingUntil = TTime::max();
    if (!FDeadlines.empty()) FWaitingUntil = std::min(FWaitingUntil, FDeadlines.begin()->first);
    if (FWaitingUntil == TTime::max()) {
      FChanged.wait(lock);
    } else {
      FChanged.wait_until(lock, FWaitingUntil);
    }
  }
}

}  // namespace quv
