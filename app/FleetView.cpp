#include "app/FleetView.h"

#include <algorithm>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"

namespace quv {

std::string HostStateLine(const THostRow& host) {
  std::string line = HostDescription(host.Line) + ": " + std::string(HostStateText(host.Status.State));
  if (!host.Status.Cause.empty()) line += ": " + host.Status.Cause;
  return line;
}

namespace {

constexpr std::string_view kAddressTitle = "Endereço"_cp;
constexpr std::string_view kLastGoodTitle = "Última resposta"_cp;
constexpr std::string_view kSessionsTitle = "Sessões"_cp;
constexpr std::string_view kLicencesTitle = "Licenças"_cp;

std::string CountText(int32_t count) { return count < 0 ? std::string() : std::to_string(count); }

}  // namespace

std::vector<std::string> HostColumnTitles() {
  return {"Host",         std::string(kAddressTitle),  "Estado",
          "Causa",        "Resposta",                  std::string(kLastGoodTitle),
          "Tarefas",      "Mais antiga",               std::string(kSessionsTitle),
          std::string(kLicencesTitle)};
}

std::string HostCellText(const THostRow& host, std::size_t column) {
  const THostStatus& status = host.Status;
  switch (column) {
    case 0:
      return HostLabel(host.Line);
    case 1:
      return HostAddress(host.Line);
    case 2:
      return std::string(HostStateText(status.State));
    case 3:
      return status.Cause;
    case 4:
      return status.RoundTripMs < 0 ? std::string() : std::to_string(status.RoundTripMs) + " ms";
    case kLastGoodColumn:
      return status.LastGood == 0 ? std::string() : DateTimeToIsoText(status.LastGood);
    case 6:
      return CountText(host.Counts.Tasks);
    case 7:
      return host.Counts.OldestMs <= 0 ? std::string() : ElapsedText(host.Counts.OldestMs);
    case 8:
      return CountText(host.Counts.Sessions);
    case 9:
      return CountText(host.Counts.Licences);
    default:
      return {};
  }
}

std::string AnsweringText(const std::vector<THostRow>& hosts) {
  const auto answering = std::count_if(hosts.begin(), hosts.end(), [](const THostRow& host) {
    return host.Status.State == THostState::Answering;
  });
  std::string text = std::to_string(answering) + " de " + std::to_string(hosts.size()) +
                     " servidores respondendo";
  if (const auto silent = hosts.size() - static_cast<std::size_t>(answering); silent > 0)
    text += "; " + std::to_string(silent) + " sem resposta";
  return text;
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
