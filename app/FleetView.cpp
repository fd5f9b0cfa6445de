#include "app/FleetView.h"

#include "app/HostConfig.h"

namespace quv {

std::string HostStateLine(const THostRow& host) {
  std::string line = HostDescription(host.Line) + ": " + std::string(HostStateText(host.Status.State));
  if (!host.Status.Cause.empty()) line += ": " + host.Status.Cause;
  return line;
}

TFleetView::TFleetView(std::vector<std::string> hosts, bool foldNoConnection)
    : FHosts(std::move(hosts)), FFoldNoConnection(foldNoConnection) {
  for (const std::string& line : FHosts) FHostRows.push_back({line, THostStatus{}, THostCounts{}});
}

TFleetRead TFleetView::Read(TRefreshT& refresh) const {
  TFleetRead read;
  read.Sessions = refresh.MethodName() == SessionListMethod();
  std::vector<bool> answered;
  for (std::size_t i = 0; i < FHosts.size(); ++i) {
    read.Statuses.push_back(refresh.HostStatus(i));
    answered.push_back(read.Statuses.back().State == THostState::Answering);
  }
  read.Counts.resize(FHosts.size());
  const TTakeResult take = [&refresh](std::size_t i) { return refresh.TakeResult(i); };
  try {
    if (read.Sessions) {
      BuildSessionView(FHosts, take, read.SessionView);
      CountSessions(read.SessionView.Sessions, answered, read.Counts);
    } else {
      BuildTaskRows(FHosts, take, read.Tasks);
      CountTasks(read.Tasks, answered, read.Counts);
    }
  } catch (const std::exception& e) {
    read.Built = false;
    read.Error = e.what();
  }
  if (!read.Sessions && FFoldNoConnection) FoldNoConnectionRows(read.Tasks);
  return read;
}

bool TFleetView::Take(TFleetRead read) {
  for (std::size_t i = 0; i < FHostRows.size() && i < read.Statuses.size(); ++i) {
    THostRow& host = FHostRows[i];
    host.Status = read.Statuses[i];
    const THostCounts& counts = read.Counts[i];
    if (!read.Built || host.Status.State != THostState::Answering) continue;
    if (read.Sessions) {
      host.Counts.Sessions = counts.Sessions;
      host.Counts.Licences = counts.Licences;
    } else {
      host.Counts.Tasks = counts.Tasks;
      host.Counts.OldestMs = counts.OldestMs;
    }
  }
  if (read.Sessions)
    FSessions = std::move(read.SessionView);
  else
    FTasks = std::make_shared<const std::vector<TTaskRow>>(std::move(read.Tasks));
  FReadError = read.Error;
  return read.Built;
}

}  // namespace quv
