#include "app/BlockingRefresh.h"

#include "app/TaskRows.h"
#include "platform/Sync.h"

namespace quv {

TBlockingRefresh::TBlockingRefresh(std::vector<std::string> hosts, IRemoteCalls& calls,
                                   IHostProbe& probe)
    : FHosts(std::move(hosts)), FCalls(calls), FProbe(probe), FTable(FHosts.size()) {}

TBlockingRefresh::~TBlockingRefresh() = default;  // FRefreshes joins the calls still running

TRefreshT& TBlockingRefresh::Run(bool sessions) {
  std::erase_if(FRefreshes, [](const auto& worker) { return worker->Finished(); });
  auto worker = std::make_unique<TRefreshT>(FCalls, FProbe, FWorkers, FTable);
  worker->SetMethodName(std::string(sessions ? SessionListMethod() : TaskListMethod()));
  for (const std::string& host : FHosts) worker->AddIP(host);
  // The worker goes on after it has set the event: the event lives as long as it.
  auto delivered = std::make_shared<TEvent>();
  worker->SetOnDone([delivered](TRefreshT&) { delivered->SetEvent(); });
  worker->Start();
  delivered->WaitFor(TEvent::kInfinite);
  return *FRefreshes.emplace_back(std::move(worker));
}

}  // namespace quv
