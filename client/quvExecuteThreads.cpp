#include "client/quvExecuteThreads.h"

#include <algorithm>

#include "platform/ThreadReaper.h"

namespace quv {

TquvExecuteThreads::~TquvExecuteThreads() {
  TThreads left;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    left.swap(FThreads);
  }
  for (std::unique_ptr<TquvExecuteThread>& thread : left) {
    thread->Stop();
    if (!thread->WaitForEnd(kStopWaitMs)) HandOverThread(std::move(thread));
  }
}

TquvExecuteThread& TquvExecuteThreads::Get(const std::string& channel) {
  std::lock_guard<TCriticalSection> guard(FLock);
  TquvExecuteThread* thread = Find(channel);
  if (thread == nullptr) {
    FThreads.push_back(std::make_unique<TquvExecuteThread>(channel));
    thread = FThreads.back().get();
    thread->Start();
  }
  ++thread->References;
  return *thread;
}

void TquvExecuteThreads::Release(const std::string& channel, bool wait) {
  std::unique_ptr<TquvExecuteThread> removed;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    const auto found = Position(channel);
    if (found == FThreads.end() || --(*found)->References > 0) return;
    removed = std::move(*found);
    FThreads.erase(found);
  }
  removed->Stop();
  // A thread applying a reply waits for the main thread, which may be the
  // caller: it is not waited for here.
  if (wait && !removed->Delivering() && removed->WaitForEnd(kStopWaitMs)) return;
  // Not ended yet: it may still hold a lock or touch its task, so it is
  // neither suspended nor freed, but kept until it ends (joined at exit).
  HandOverThread(std::move(removed));
}

TquvExecuteThreads::TThreads::iterator TquvExecuteThreads::Position(const std::string& channel) {
  return std::find_if(FThreads.begin(), FThreads.end(),
                      [&](const auto& thread) { return thread->Channel() == channel; });
}

TquvExecuteThread* TquvExecuteThreads::Find(const std::string& channel) {
  std::lock_guard<TCriticalSection> guard(FLock);
  const auto found = Position(channel);
  return found != FThreads.end() ? found->get() : nullptr;
}

void TquvExecuteThreads::Attach(const std::string& channel) { Get(channel); }

void TquvExecuteThreads::Enqueue(TquvQueuedCall call) {
  // The recordset holds a reference, so the thread stays registered.
  TquvExecuteThread* thread = Find(call.Channel);
  if (thread == nullptr) throw Exception("No execute thread for the channel " + call.Channel);
  thread->Submit(std::move(call));
}

void TquvExecuteThreads::Cancel(int32_t requestNumber) {
  std::lock_guard<TCriticalSection> guard(FLock);
  for (const std::unique_ptr<TquvExecuteThread>& thread : FThreads)
    thread->CancelRequest(requestNumber);
}

void TquvExecuteThreads::Detach(TquvClientRecordset& recordset, const std::string& channel,
                                bool wait) {
  if (TquvExecuteThread* thread = Find(channel)) thread->CancelByOwner(recordset);
  Release(channel, wait);
}

}  // namespace quv
