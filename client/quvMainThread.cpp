#include "client/quvMainThread.h"

#include <algorithm>
#include <atomic>

#include "platform/Clock.h"

namespace quv {

namespace {

constexpr uint32_t kMessageSliceMs = 100;

std::atomic<IquvMainThread*> GInstalled{nullptr};

}  // namespace

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
  TJob sent{job, TJobState::Waiting, {}};
  std::unique_lock<std::mutex> guard(FLock);
  if (FClosed) return false;
  FJobs.push_back(&sent);
  FArrived.notify_all();
  sent.Ended.wait(
      guard, [&sent] { return sent.State == TJobState::Done || sent.State == TJobState::Refused; });
  return sent.State == TJobState::Done;
}

bool TquvPlainMainThread::HandleOneMessage(uint32_t waitMs) {
  if (!IsMainThread()) {
    // Another thread has no messages of its own: it only waits.
    std::unique_lock<std::mutex> guard(FLock);
    FArrived.wait_for(guard, std::chrono::milliseconds(waitMs), [this] { return FClosed; });
    return !FClosed;
  }
  TJob* job = nullptr;
  {
    std::unique_lock<std::mutex> guard(FLock);
    FArrived.wait_for(guard, std::chrono::milliseconds(waitMs),
                      [this] { return FClosed || !FJobs.empty(); });
    if (FClosed) return false;
    if (FJobs.empty()) return true;
    job = FJobs.front();
    FJobs.pop_front();
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
  FArrived.notify_all();
}

TquvPlainMainThread& PlainMainThread() {
  static TquvPlainMainThread mainThread;
  return mainThread;
}

}  // namespace quv
