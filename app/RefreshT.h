#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/HostProbe.h"
#include "app/HostStatus.h"
#include "app/RemoteCalls.h"
#include "platform/Thread.h"
#include "platform/WorkerPool.h"

namespace quv {

// One background refresh: probes and calls every host of its list and keeps
// each host's reply and health. Hosts are handled at once on the threads of
// "workers" (kMaxConcurrentHosts - 1 of them let a fleet of servers a network
// round trip away answer in a few round trips, and make one refresh wait on
// up to that many dead hosts about once); the replies stay in host-list
// order. More threads would not answer a fleet sooner on a desktop's few
// cores: they all wake with the replies of one round trip at once, and the
// refresh then costs each host a quarter more processor time.
//
// The refresh is delivered (the handler runs, on the worker thread) when
// every host is done or when its deadline passes, whichever comes first:
// twice the call time-out plus the probe time-out, on the process clock, once
// for every wave of hosts the workers' threads take at once. A
// host still in flight then has no reply and reads as still waiting; its call
// goes on in the background and only updates "table". A host whose previous
// call (of another refresh) still runs is not called again. The worker's run
// ends when its last call has ended; once terminated, it interrupts the calls
// still running instead of waiting for them.
//
// "calls", "probe", "workers" and "table" must outlive the worker; host line
// i is host i of "table". The owner adds hosts and sets the handler before
// Start; results may be taken only after the handler has run.
class TRefreshT final : public TThread {
 public:
  using TCompletion = std::function<void(TRefreshT&)>;
  static constexpr std::size_t kMaxConcurrentHosts = 256;

  TRefreshT(IRemoteCalls& calls, IHostProbe& probe, TWorkerPool& workers, THostCallTable& table);
  ~TRefreshT() override;

  void SetMethodName(const std::string& method) { FMethodName = method; }
  const std::string& MethodName() const { return FMethodName; }
  void SetOnDone(TCompletion onDone) { FOnDone = std::move(onDone); }
  void AddIP(const std::string& hostLine);
  std::size_t HostCount() const { return FHosts.size(); }
  // Empty unless the run failed as a whole.
  const std::string& ErrorText() const { return FErrorText; }
  // The reply of host line i, handed to the caller (null when there is none).
  std::unique_ptr<IReplyRows> TakeResult(std::size_t i);
  // How host i did in this refresh.
  const THostStatus& HostStatus(std::size_t i) const { return FStatuses.at(i); }
  // Whether the handler has been called.
  bool Delivered() const;

 protected:
  void Execute() override;
  void TerminateRequested() override;

 private:
  void QueryAllHosts();
  void QueryHost(std::size_t i);
  void FinishHost(std::size_t i, std::unique_ptr<IReplyRows> reply, const THostStatus& outcome);
  void AwaitHostsOrDeadline();
  void AwaitCalls();
  void Deliver();

  IRemoteCalls& FCalls;
  IHostProbe& FProbe;
  TWorkerPool& FWorkers;
  THostCallTable& FTable;
  std::string FMethodName;
  std::string FErrorText;
  TCompletion FOnDone;
  std::vector<std::string> FHosts;
  mutable std::mutex FLock;  // guards what follows
  std::condition_variable FHostDone;
  std::size_t FHostsDone = 0;
  bool FDelivered = false;
  std::vector<bool> FDone;
  std::vector<std::unique_ptr<IReplyRows>> FReplies;
  std::vector<THostStatus> FStatuses;
};

}  // namespace quv
