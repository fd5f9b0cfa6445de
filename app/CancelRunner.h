#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "app/CancelAuditLog.h"
#include "app/CancelTargets.h"
#include "app/RemoteCalls.h"
#include "platform/WorkerPool.h"

namespace quv {

// Runs cancels in the background, each target on its own server at once, so
// that a server that never confirms holds up nothing but its own cancel.
// Every outcome is appended to the audit log, then handed to the batch's
// handler on a runner thread. Destroying the runner interrupts the cancels
// still waiting on a server and joins them, so closing stays bounded.
// "calls" and "log" must outlive the runner. Submit from one thread.
class TCancelRunner final {
 public:
  using TOnOutcome = std::function<void(const TCancelOutcome&)>;
  static constexpr std::size_t kMaxConcurrentCancels = 16;

  TCancelRunner(IRemoteCalls& calls, TCancelAuditLog& log) : FCalls(calls), FLog(log) {}
  ~TCancelRunner();
  TCancelRunner(const TCancelRunner&) = delete;
  TCancelRunner& operator=(const TCancelRunner&) = delete;

  void Submit(std::vector<TCancelTarget> targets, TOnOutcome onOutcome);
  // Cancels submitted whose outcome has not been handed over yet.
  std::size_t InFlight() const;

 private:
  struct TBatch {
    std::thread Thread;
    bool Ended = false;  // guarded by FLock
  };

  void RunBatch(TBatch& batch, const std::vector<TCancelTarget>& targets,
                const TOnOutcome& onOutcome);
  TCancelOutcome Cancel(const TCancelTarget& target);
  void ReapEndedBatches();

  IRemoteCalls& FCalls;
  TCancelAuditLog& FLog;
  TWorkerPool FWorkers{kMaxConcurrentCancels - 1};
  mutable std::mutex FLock;  // guards what follows
  std::condition_variable FBatchEnded;
  bool FStopping = false;
  std::size_t FInFlight = 0;
  std::list<TBatch> FBatches;
};

}  // namespace quv
