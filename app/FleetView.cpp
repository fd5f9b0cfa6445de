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
  std::vector<THostStatus> statuses;
  for (std::size_t i = 0; i < FHosts.size(); ++i) statuses.push_back(refresh.HostStatus(i));
  return ReadReplies(refresh.MethodName() == SessionListMethod(), std::move(statuses),
                     [&refresh](std::size_t i) { return refresh.TakeResult(i); });
}

TFleetRead TFleetView::ReadReplies(bool sessions, std::vector<THostStatus> statuses,
                                   const TTakeResult& take) const {
  TFleetRead read;
  read.Sessions = sessions;
  read.Statuses = std::move(statuses);
  read.Statuses.resize(FHosts.size());
  std::vector<bool> answered;
  for (const THostStatus& status : read.Statuses)
    answered.push_back(status.State == THostState::Answering);
  read.Counts.resize(FHosts.size());
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
