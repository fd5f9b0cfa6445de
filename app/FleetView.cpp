#include "app/FleetView.h"

namespace quv {

TFleetView::TFleetView(std::vector<std::string> hosts, bool foldNoConnection)
    : FHosts(std::move(hosts)), FFoldNoConnection(foldNoConnection) {
  for (const std::string& line : FHosts) FHostRows.push_back({line, THostStatus{}, THostCounts{}});
}

bool TFleetView::TakeTasks(TRefreshT& refresh) {
  std::vector<TTaskRow> rows;
  const bool built = Take(refresh, [&](const TTakeResult& take) {
    BuildTaskRows(FHosts, take, rows);
  });
  if (built)
    Recount([&](std::vector<THostCounts>& counts) { CountTasks(rows, Answered(), counts); });
  if (FFoldNoConnection) FoldNoConnectionRows(rows);
  FTasks = std::move(rows);
  return built;
}

bool TFleetView::TakeSessions(TRefreshT& refresh) {
  TSessionView view;
  const bool built = Take(refresh, [&](const TTakeResult& take) {
    BuildSessionView(FHosts, take, view);
  });
  if (built)
    Recount([&](std::vector<THostCounts>& counts) {
      CountSessions(view.Sessions, Answered(), counts);
    });
  FSessions = std::move(view);
  return built;
}

bool TFleetView::Take(TRefreshT& refresh, const std::function<void(const TTakeResult&)>& build) {
  TakeStatuses(refresh);
  FReadError.clear();
  try {
    build([&refresh](std::size_t i) { return refresh.TakeResult(i); });
    return true;
  } catch (const std::exception& e) {
    FReadError = e.what();
    return false;
  }
}

void TFleetView::TakeStatuses(const TRefreshT& refresh) {
  for (std::size_t i = 0; i < FHostRows.size(); ++i) FHostRows[i].Status = refresh.HostStatus(i);
}

void TFleetView::Recount(const std::function<void(std::vector<THostCounts>&)>& count) {
  std::vector<THostCounts> counts;
  for (const THostRow& host : FHostRows) counts.push_back(host.Counts);
  count(counts);
  for (std::size_t i = 0; i < counts.size(); ++i) FHostRows[i].Counts = counts[i];
}

std::vector<bool> TFleetView::Answered() const {
  std::vector<bool> answered;
  for (const THostRow& host : FHostRows)
    answered.push_back(host.Status.State == THostState::Answering);
  return answered;
}

}  // namespace quv
