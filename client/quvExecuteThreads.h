#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/quvCallSeams.h"
#include "client/quvExecuteThread.h"
#include "platform/Sync.h"

namespace quv {

// The execute threads by channel name (compared exactly), each counted by the
// recordsets that use it. Lock order: the registry's lock is never held while
// a thread's lock is taken, except by Cancel, which walks the threads under
// it. Thread-safe.
class TquvExecuteThreads final : public IquvCallQueue {
 public:
  // How long a release waits for a stopped thread before handing it to the
  // process's reaper.
  static constexpr uint32_t kStopWaitMs = 60000;

  TquvExecuteThreads() = default;
  // Stops every thread still registered, waiting for each.
  ~TquvExecuteThreads() override;
  TquvExecuteThreads(const TquvExecuteThreads&) = delete;
  TquvExecuteThreads& operator=(const TquvExecuteThreads&) = delete;

  // The thread of `channel` with one more reference: the registered one, or
  // a new one, started.
  TquvExecuteThread& Get(const std::string& channel);
  // Drops one reference; the last one removes the thread and stops it. With
  // `wait`, and unless the thread is applying a reply right now, waits for
  // it up to kStopWaitMs; a thread not waited for, or not ended by then, goes
  // to the process's reaper.
  void Release(const std::string& channel, bool wait);
  // The registered thread of `channel`, or none (for tests).
  TquvExecuteThread* Find(const std::string& channel);

  void Attach(const std::string& channel) override;
  void Enqueue(TquvQueuedCall call) override;
  void Cancel(int32_t requestNumber) override;
  void Detach(TquvClientRecordset& recordset, const std::string& channel, bool wait) override;

 private:
  using TThreads = std::vector<std::unique_ptr<TquvExecuteThread>>;
  // Under FLock.
  TThreads::iterator Position(const std::string& channel);

  TCriticalSection FLock;
  TThreads FThreads;
};

}  // namespace quv
