#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quv {

// Threads kept for batches of independent tasks, so that a batch does not pay
// for starting threads. Run(count, task) calls task(0) .. task(count - 1) on
// the caller's thread and on up to `maxThreads` pool threads, and returns when
// every call is over. Threads start on demand and wait between batches until
// the pool is destroyed, which stops and joins them (no batch may be running
// then). Batches from several threads at once share the threads.
class TWorkerPool final {
 public:
  explicit TWorkerPool(std::size_t maxThreads);
  ~TWorkerPool();
  TWorkerPool(const TWorkerPool&) = delete;
  TWorkerPool& operator=(const TWorkerPool&) = delete;

  // Rethrows the first exception a task raised, once all have ended.
  void Run(std::size_t count, const std::function<void(std::size_t)>& task);
  std::size_t ThreadCount() const;
  // The most tasks of one batch that run at once: the pool's threads and the caller.
  std::size_t Capacity() const { return FMaxThreads + 1; }

 private:
  struct TBatch {
    const std::function<void(std::size_t)>& Task;
    std::size_t Count;
    std::size_t Next = 0;
    std::size_t Done = 0;
    std::exception_ptr Failure = nullptr;
  };

  void StartThreadsFor(std::size_t helpers);
  void Work();
  void RunTask(TBatch& batch, std::size_t index);

  const std::size_t FMaxThreads;
  mutable std::mutex FLock;
  std::condition_variable FWorkArrived;
  std::condition_variable FTaskEnded;
  std::deque<TBatch*> FBatches;  // those with indexes not yet taken
  std::size_t FIdle = 0;
  bool FStopping = false;
  std::vector<std::thread> FThreads;
};

}  // namespace quv
