#include "app/RefreshT.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/HostConfig.h"
#include "platform/Clock.h"

namespace quv {

namespace {

// How often a stopped refresh interrupts again the calls it still runs.
constexpr uint32_t kInterruptRoundMs = 20;

// Runs `step`; the text of its failure, or empty when it succeeded.
template <class F>
std::string FailureOf(F step) {
  try {
    step();
    return {};
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "erro desconhecido";
  }
}

}  // namespace

TRefreshT::TRefreshT(IRemoteCalls& calls, IHostProbe& probe, TWorkerPool& workers,
                     THostCallTable& table)
    : FCalls(calls), FProbe(probe), FWorkers(workers), FTable(table) {}

TRefreshT::~TRefreshT() { TerminateAndWait(); }

void TRefreshT::AddIP(const std::string& hostLine) {
  FHosts.push_back(hostLine);
  FDone.push_back(false);
  FReplies.emplace_back();
  FStatuses.emplace_back();
}

std::unique_ptr<IReplyRows> TRefreshT::TakeResult(std::size_t i) {
  return i < FReplies.size() ? std::move(FReplies[i]) : nullptr;
}

bool TRefreshT::Delivered() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDelivered;
}

void TRefreshT::Execute() {
  FErrorText = FailureOf([this] { FCalls.PrepareRefresh(); });
  if (!FErrorText.empty()) {
    Deliver();
    return;
  }
  // The calls run on their own thread, so that this one can deliver at the
  // deadline while they go on; it is joined before the run ends.
  std::thread calls([this] { QueryAllHosts(); });
  AwaitHostsOrDeadline();
  Deliver();
  AwaitCalls();
  calls.join();
}

// A call to a server that stopped in the middle of its reply reads for up to
// a package's 30 s; once the refresh is told to stop, its owner should not
// wait that long, so the calls still running are cut off, again each round
// for any that began just before the stop.
void TRefreshT::AwaitCalls() {
  std::unique_lock<std::mutex> guard(FLock);
  FHostDone.wait(guard, [this] { return FHostsDone == FHosts.size() || Terminated(); });
  while (FHostsDone < FHosts.size()) {
    guard.unlock();
    FCalls.InterruptCallsInFlight();
    guard.lock();
    FHostDone.wait_for(guard, std::chrono::milliseconds(kInterruptRoundMs));
  }
}

void TRefreshT::TerminateRequested() {
  std::lock_guard<std::mutex> guard(FLock);
  FHostDone.notify_all();
}

void TRefreshT::QueryAllHosts() {
  const std::string failure =
      FailureOf([this] { FWorkers.Run(FHosts.size(), [this](std::size_t i) { QueryHost(i); }); });
  if (failure.empty()) return;
  // The pool could not run the batch: the hosts not reached fail with its reason.
  for (std::size_t i = 0; i < FHosts.size(); ++i)
    FinishHost(i, nullptr, THostStatus{THostState::Error, failure});
}

void TRefreshT::QueryHost(std::size_t i) {
  if (Terminated() || !FTable.TryBegin(i)) {
    FinishHost(i, nullptr, FTable.Status(i));
    return;
  }
  const int64_t start = Clock().Nanoseconds();
  const std::string address = HostAddress(FHosts[i]);
  std::unique_ptr<IReplyRows> reply;
  THostStatus outcome;
  outcome.Cause = FailureOf([&] { FProbe.Probe(address); });
  if (!outcome.Cause.empty()) {
    outcome.State = THostState::NoConnection;
  } else {
    outcome.Cause = FailureOf([&] { reply = FCalls.ExecMethod(FMethodName, address); });
    outcome.State = outcome.Cause.empty() ? THostState::Answering : THostState::Error;
  }
  outcome.RoundTripMs = static_cast<int32_t>((Clock().Nanoseconds() - start) / 1000000);
  if (reply) outcome.LastGood = Clock().Now();
  FTable.End(i, outcome);
  FinishHost(i, std::move(reply), FTable.Status(i));
}

void TRefreshT::FinishHost(std::size_t i, std::unique_ptr<IReplyRows> reply,
                           const THostStatus& outcome) {
  std::unique_ptr<IReplyRows> late;  // freed after the lock is left
  std::lock_guard<std::mutex> guard(FLock);
  if (FDone[i]) return;
  if (FDelivered) {
    late = std::move(reply);
  } else {
    FReplies[i] = std::move(reply);
    FStatuses[i] = outcome;
  }
  FDone[i] = true;
  // Only the last host wakes the waiting thread: a wake-up per host would
  // cost a switch to it and back for every host of the list.
  if (++FHostsDone == FHosts.size()) FHostDone.notify_all();
}

void TRefreshT::AwaitHostsOrDeadline() {
  // Hosts beyond the workers' threads wait for one to be free, so each wave
  // of hosts gets the whole time of one host.
  const std::size_t waves =
      std::max<std::size_t>(1, (FHosts.size() + FWorkers.Capacity() - 1) / FWorkers.Capacity());
  const uint32_t deadline = static_cast<uint32_t>(waves) *
                            (2 * static_cast<uint32_t>(FCalls.RefreshCallTimeoutMs()) +
                             static_cast<uint32_t>(FProbe.TimeoutMs()));
  std::unique_lock<std::mutex> guard(FLock);
  WaitOnClock(guard, FHostDone, deadline,
              [this] { return FHostsDone == FHosts.size() || Terminated(); });
}

void TRefreshT::Deliver() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    for (std::size_t i = 0; i < FHosts.size(); ++i) {
      if (FDone[i]) continue;
      FStatuses[i] = FTable.Status(i);
      FStatuses[i].State = THostState::StillWaiting;
      FStatuses[i].Cause = std::string(StillWaitingText());
    }
    FDelivered = true;
  }
  if (FOnDone) FOnDone(*this);
}

}  // namespace quv
