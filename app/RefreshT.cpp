#include "app/RefreshT.h"

#include "app/HostConfig.h"

namespace quv {

TRefreshT::TRefreshT(IRemoteCalls& calls, IHostProbe& probe, TWorkerPool& workers)
    : FCalls(calls), FProbe(probe), FWorkers(workers) {}

TRefreshT::~TRefreshT() { TerminateAndWait(); }

void TRefreshT::AddIP(const std::string& hostLine) {
  FHosts.push_back(hostLine);
  FReplies.emplace_back();
}

std::unique_ptr<IReplyRows> TRefreshT::TakeResult(std::size_t i) {
  return i < FReplies.size() ? std::move(FReplies[i]) : nullptr;
}

void TRefreshT::Execute() {
  try {
    FCalls.PrepareRefresh();
    QueryAllHosts();
  } catch (const std::exception& e) {
    FErrorText = e.what();
  }
  if (FOnDone) FOnDone(*this);
}

void TRefreshT::QueryAllHosts() {
  FWorkers.Run(FHosts.size(), [this](std::size_t i) {
    if (!Terminated()) QueryHost(i);
  });
}

void TRefreshT::QueryHost(std::size_t i) {
  try {
    const std::string address = HostAddress(FHosts[i]);
    FProbe.Probe(address);
    FReplies[i] = FCalls.ExecMethod(FMethodName, address);
  } catch (...) {
    // A host that cannot be reached or answered has no reply; nothing is reported.
  }
}

}  // namespace quv
