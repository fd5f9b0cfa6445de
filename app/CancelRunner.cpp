#include "app/CancelRunner.h"

#include <algorithm>

#include "app/HostConfig.h"
#include "platform/Clock.h"

namespace quv {

namespace {

// How often closing interrupts again, for a cancel that began its call after
// the previous interruption.
constexpr uint32_t kInterruptInterval = 100;

}  // namespace

TCancelRunner::~TCancelRunner() {
  std::unique_lock<std::mutex> lock(FLock);
  FStopping = true;
  const auto allEnded = [this] {
    return std::all_of(FBatches.begin(), FBatches.end(),
                       [](const TBatch& batch) { return batch.Ended; });
  };
  while (!allEnded()) {
    lock.unlock();
    FCalls.InterruptCallsInFlight();
    lock.lock();
    WaitOnClock(lock, FBatchEnded, kInterruptInterval, allEnded);
  }
  lock.unlock();
  for (TBatch& batch : FBatches) batch.Thread.join();
}

void TCancelRunner::Submit(std::vector<TCancelTarget> targets, TOnOutcome onOutcome) {
  ReapEndedBatches();
  std::lock_guard<std::mutex> guard(FLock);
  FInFlight += targets.size();
  TBatch& batch = FBatches.emplace_back();
  batch.Thread = std::thread(
      [this, &batch, targets = std::move(targets), onOutcome = std::move(onOutcome)] {
        RunBatch(batch, targets, onOutcome);
      });
}

std::size_t TCancelRunner::InFlight() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FInFlight;
}

void TCancelRunner::RunBatch(TBatch& batch, const std::vector<TCancelTarget>& targets,
                             const TOnOutcome& onOutcome) {
  FWorkers.Run(targets.size(), [&](std::size_t i) {
    TCancelOutcome outcome = Cancel(targets[i]);
    outcome.Logged = FLog.Append(outcome);
    {
      std::lock_guard<std::mutex> guard(FLock);
      --FInFlight;
    }
    onOutcome(outcome);
  });
  std::lock_guard<std::mutex> guard(FLock);
  batch.Ended = true;
  FBatchEnded.notify_all();
}

TCancelOutcome TCancelRunner::Cancel(const TCancelTarget& target) {
  TCancelOutcome outcome{target, {}};
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FStopping) {
      outcome.Cause = "o visualizador foi fechado antes do pedido";
      return outcome;
    }
  }
  try {
    FCalls.ExecMethodValues(target.Method, target.ParamName, target.ParamValue,
                            HostAddress(target.HostLine));
  } catch (...) {
    outcome.Cause = CallFailureCause(std::current_exception());
  }
  return outcome;
}

void TCancelRunner::ReapEndedBatches() {
  std::list<TBatch> ended;
  {
    std::lock_guard<std::mutex> guard(FLock);
    for (auto it = FBatches.begin(); it != FBatches.end();) {
      const auto next = std::next(it);
      if (it->Ended) ended.splice(ended.end(), FBatches, it);
      it = next;
    }
  }
  for (TBatch& batch : ended) batch.Thread.join();
}

}  // namespace quv
