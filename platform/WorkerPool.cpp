#include "platform/WorkerPool.h"

#include <algorithm>

namespace quv {

TWorkerPool::TWorkerPool(std::size_t maxThreads) : FMaxThreads(maxThreads) {}

TWorkerPool::~TWorkerPool() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStopping = true;
  }
  FWorkArrived.notify_all();
  for (std::thread& thread : FThreads) thread.join();
}

std::size_t TWorkerPool::ThreadCount() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FThreads.size();
}

void TWorkerPool::Run(std::size_t count, const std::function<void(std::size_t)>& task) {
  if (count == 0) return;
  TBatch batch{task, count};
  std::size_t helpers = 0;
  {
    std::lock_guard<std::mutex> guard(FLock);
    FBatches.push_back(&batch);
    StartThreadsFor(count - 1);
    helpers = std::min(count - 1, FIdle);
  }
  // Only as many threads as there are tasks for them: waking every idle one
  // would have the rest fight over the lock and go back to sleep.
  for (std::size_t i = 0; i < helpers; ++i) FWorkArrived.notify_one();
  // The caller works on its own batch, then waits for the tasks still running elsewhere.
  std::unique_lock<std::mutex> lock(FLock);
  while (batch.Next < batch.Count) {
    const std::size_t index = batch.Next++;
    if (batch.Next == batch.Count) std::erase(FBatches, &batch);
    lock.unlock();
    RunTask(batch, index);
    lock.lock();
  }
  FTaskEnded.wait(lock, [&batch] { return batch.Done == batch.Count; });
  if (batch.Failure) std::rethrow_exception(batch.Failure);
}

void TWorkerPool::StartThreadsFor(std::size_t helpers) {
  const std::size_t wanted = std::min(helpers, FMaxThreads);
  while (FIdle < wanted && FThreads.size() < FMaxThreads) {
    FThreads.emplace_back([this] { Work(); });
    ++FIdle;
  }
}

void TWorkerPool::Work() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FWorkArrived.wait(lock, [this] { return FStopping || !FBatches.empty(); });
    if (FStopping) return;
    TBatch& batch = *FBatches.front();
    const std::size_t index = batch.Next++;
    if (batch.Next == batch.Count) FBatches.pop_front();
    --FIdle;
    lock.unlock();
    RunTask(batch, index);
    lock.lock();
    ++FIdle;
  }
}

void TWorkerPool::RunTask(TBatch& batch, std::size_t index) {
  std::exception_ptr failure;
  try {
    batch.Task(index);
  } catch (...) {
    failure = std::current_exception();
  }
  std::lock_guard<std::mutex> guard(FLock);
  if (failure && !batch.Failure) batch.Failure = failure;
  if (++batch.Done == batch.Count) FTaskEnded.notify_all();
}

}  // namespace quv
