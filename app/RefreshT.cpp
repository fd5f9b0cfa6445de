#include "app/RefreshT.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/HostConfig.h"

namespace quv {

TRefreshT::TRefreshT(IRemoteCalls& calls, IHostProbe& probe) : FCalls(calls), FProbe(probe) {}

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
  std::atomic<std::size_t> next{0};
  const auto drain = [this, &next] {
    for (std::size_t i = next++; i < FHosts.size() && !Terminated(); i = next++) QueryHost(i);
  };
  const std::size_t helpers = std::min(FHosts.size(), kMaxConcurrentHosts) - (FHosts.empty() ? 0 : 1);
  {
    // Joined at the end of the block, also when starting one of them fails.
    std::vector<std::jthread> threads;
    threads.reserve(helpers);
    for (std::size_t k = 0; k < helpers; ++k) threads.emplace_back(drain);
    drain();
  }
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
