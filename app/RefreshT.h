#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/HostProbe.h"
#include "app/RemoteCalls.h"
#include "platform/Thread.h"
#include "platform/WorkerPool.h"

namespace quv {

// One background refresh: probes and calls every host of its list and keeps
// each host's reply. Hosts are handled at once on the worker's thread and on
// the threads of "workers" (kMaxConcurrentHosts - 1 of them let a fleet of
// servers a network round trip away answer in about one round trip, and make
// one refresh wait on dead hosts about once); the replies stay in host-list
// order, and a host that fails simply has none. "calls", "probe" and "workers" must
// outlive the worker. The owner adds hosts
// and sets the handler before Start; the handler runs on the worker thread
// when the run is over, and the results may be taken only after it has run.
class TRefreshT final : public TThread {
 public:
  using TCompletion = std::function<void(TRefreshT&)>;
  static constexpr std::size_t kMaxConcurrentHosts = 512;

  TRefreshT(IRemoteCalls& calls, IHostProbe& probe, TWorkerPool& workers);
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

 protected:
  void Execute() override;

 private:
  void QueryAllHosts();
  void QueryHost(std::size_t i);

  IRemoteCalls& FCalls;
  IHostProbe& FProbe;
  TWorkerPool& FWorkers;
  std::string FMethodName;
  std::string FErrorText;
  TCompletion FOnDone;
  std::vector<std::string> FHosts;
  std::vector<std::unique_ptr<IReplyRows>> FReplies;
};

}  // namespace quv
