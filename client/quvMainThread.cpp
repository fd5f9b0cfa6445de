#include "client/quvMainThread.h"

#include <algorithm>
#include <atomic>

#include "platform/Clock.h"

namespace quv {

namespace {

constexpr uint32_t kMessageSliceMs = 100;
// Rounds of spinning before a sleep: the main thread applies a reply in a few
// microseconds, and replies of queued calls tend to follow each other closely.
constexpr int kJobEndSpinRounds = 4000;
constexpr int kJobArrivalSpinRounds = 4000;

std::atomic<IquvMainThread*> GInstalled{nullptr};
std::atomic<int> GBusySenders{0};

// Whether a hand-over may spin: only while no more than one sender is busy.
bool SpinningPays() { return GBusySenders.load(std::memory_order_relaxed) <= 1; }

}  // namespace

TBusySender::TBusySender() { GBusySenders.fetch_add(1, std::memory_order_relaxed); }

TBusySender::~TBusySender() { GBusySenders.fetch_sub(1, std::memory_order_relaxed); }

int TBusySender::Count() { return GBusySenders.load(); }

void SetMainThread(IquvMainThread* mainThread) { GInstalled.store(mainThread); }

IquvMainThread& MainThread() {
  IquvMainThread* installed = GInstalled.load();
  return installed != nullptr ? *installed : PlainMainThread();
}

bool WaitHandlingMessages(TEvent& event, uint32_t timeoutMs) {
  IquvMainThread& mainThread = MainThread();
  const bool onMainThread = mainThread.IsMainThread();
  const uint32_t start = Clock().TickCount();
  for (;;) {
    if (event.WaitFor(0)) return true;
    const uint32_t elapsed = Clock().TickCount() - start;
    if (elapsed >= timeoutMs) return false;
    const uint32_t slice = std::min(kMessageSliceMs, timeoutMs - elapsed);
    if (onMainThread)
      mainThread.HandleOneMessage(slice);
    else if (event.WaitFor(slice))
      return true;
  }
}

TquvPlainMainThread::TquvPlainMainThread() : FThread(std::this_thread::get_id()) {}

TquvPlainMainThread::~TquvPlainMainThread() { Close(); }

bool TquvPlainMainThread::IsMainThread() const { return std::this_thread::get_id() == FThread; }

bool TquvPlainMainThread::Send(const std::function<void()>& job) {
  if (IsMainThread()) {
    job();
    return true;
  }
  TJob sent{job};
  bool first = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FClosed) return false;
    FJobs.push_back(&sent);
    FJobCount.store(FJobs.size());
    first = FJobs.size() == 1;
    FArrived.notify_all();
  }
  // Behind other jobs, or beside other busy senders, the wait is long:
  // spinning would only take the processor from the main thread.
  if (!first || !SpinningPays() ||
      !SpinUntil([&sent] { return Over(sent); }, kJobEndSpinRounds)) {
    std::unique_lock<std::mutex> guard(FLock);
    sent.Ended.wait(guard, [&sent] { return Over(sent); });
  }
  // The job's end is published under FLock: taking it once more makes sure
  // the main thread has left the lock before `sent` leaves this stack.
  std::lock_guard<std::mutex> guard(FLock);
  return sent.State == TJobState::Done;
}

bool TquvPlainMainThread::Over(const TJob& job) {
  const TJobState state = job.State.load();
  return state == TJobState::Done || state == TJobState::Refused;
}

bool TquvPlainMainThread::HandleOneMessage(uint32_t waitMs) {
  if (!IsMainThread()) {
    // Another thread has no messages of its own: it only waits.
    std::unique_lock<std::mutex> guard(FLock);
    FArrived.wait_for(guard, std::chrono::milliseconds(waitMs), [this] { return FClosed; });
    return !FClosed;
  }
  TJob* job = nullptr;
  if (waitMs > 0 && SpinningPays())
    SpinUntil([this] { return FJobCount.load() != 0; }, kJobArrivalSpinRounds);
  {
    std::unique_lock<std::mutex> guard(FLock);
    FArrived.wait_for(guard, std::chrono::milliseconds(waitMs),
                      [this] { return FClosed || !FJobs.empty(); });
    if (FClosed) return false;
    if (FJobs.empty()) return true;
    job = FJobs.front();
    FJobs.pop_front();
    FJobCount.store(FJobs.size());
    job->State = TJobState::Running;
  }
  // The sender waits until the job is over, also when it raised.
  struct TDone {
    TquvPlainMainThread& Owner;
    TJob& Job;
    ~TDone() { Owner.Finish(Job); }
  } done{*this, *job};
  job->Run();
  return true;
}

void TquvPlainMainThread::Finish(TJob& job) {
  std::lock_guard<std::mutex> guard(FLock);
  job.State = TJobState::Done;
  job.Ended.notify_one();
}

void TquvPlainMainThread::Close() {
  std::lock_guard<std::mutex> guard(FLock);
  FClosed = true;
  for (TJob* job : FJobs) {
    job->State = TJobState::Refused;
    job->Ended.notify_one();
  }
  FJobs.clear();
  FJobCount.store(0);
  FArrived.notify_all();
}

namespace {

constinit TProcessSlot<TquvPlainMainThread> gPlainMainThread("plain main thread");

}  // namespace

std::unique_ptr<TScopePart> MakePlainMainThread() { return gPlainMainThread.Make(); }

TquvPlainMainThread& PlainMainThread() { return *gPlainMainThread; }

}  // namespace quv
