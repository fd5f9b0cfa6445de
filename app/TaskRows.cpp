#include "app/TaskRows.h"

#include <algorithm>
#include <set>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/Exception.h"
#include "platform/StrUtils.h"

namespace quv {

namespace {

std::string Field(const IReplyRows& reply, const char* name, std::size_t limit) {
  return LeftStr(reply.FieldText(name), limit);
}

int32_t IntegerField(const IReplyRows& reply, const char* name) {
  return StrToIntDef(reply.FieldText(name), kNotANumber);
}

bool TrueField(const IReplyRows& reply, const char* name) {
  return reply.FieldText(name) == "true";
}

double DateTimeField(const IReplyRows& reply, const char* name) {
  const std::string text = reply.FieldText(name);
  double value = 0;
  if (!text.empty() && !TryStrToFloat(text, value))
    throw Exception("'" + text + "' is not a valid floating point value");
  return value;
}

struct TCompareTextLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return AnsiCompareText(a, b) < 0;
  }
};

// Licence texts with their session counts, in ascending order without regard to case.
using TLicenceCounts = std::vector<std::pair<std::string, int32_t>>;

void AddLicence(TLicenceCounts& counts, const std::string& licence) {
  const auto at = std::lower_bound(counts.begin(), counts.end(), licence,
                                   [](const auto& entry, const std::string& text) {
                                     return AnsiCompareText(entry.first, text) < 0;
                                   });
  if (at != counts.end() && AnsiCompareText(at->first, licence) == 0)
    ++at->second;
  else
    counts.insert(at, {licence, 1});
}

}  // namespace

std::string_view YesNoText(bool value) { return value ? "Sim"_cp : "Não"_cp; }

std::string ElapsedText(int32_t ms) {
  std::string text;
  int parts = 0;
  if (ms >= 3600000) {
    text += std::to_string(ms / 3600000) + "h";
    ++parts;
  }
  if (ms >= 60000) {
    text += std::to_string(ms % 3600000 / 60000) + "m";
    ++parts;
  }
  if (ms >= 1000 && parts < 2) {
    text += std::to_string(ms % 60000 / 1000) + "s";
    ++parts;
  }
  if (parts == 0) text += std::to_string(ms % 1000) + "ms";
  return text;
}

std::string_view TaskListMethod() { return "quvsystem.tasks.list"; }
std::string_view SessionListMethod() { return "quvsystem.sessions.list"; }
std::string_view NoConnectionText() { return "Sem conexão com o servidor"_cp; }

TTaskRow TaskRowFromReply(const IReplyRows& reply, const std::string& hostLine) {
  TTaskRow row;
  row.RequestId = IntegerField(reply, "requestid");
  row.ClientDesc = Field(reply, "clientdesc", kShortTextLimit);
  row.RequestDesc = Field(reply, "requestdesc", kRequestDescLimit);
  row.ElapsedTime = IntegerField(reply, "ellapsedtime");
  row.SystemCmd = TrueField(reply, "systemcmd");
  row.HostLine = LeftStr(hostLine, kShortTextLimit);
  row.UserName = Field(reply, "username", kShortTextLimit);
  row.Cancelled = TrueField(reply, "cancelled");
  return row;
}

TTaskRow NoConnectionRow(const std::string& hostLine) {
  TTaskRow row;
  row.HostLine = LeftStr(hostLine, kShortTextLimit);
  row.RequestDesc = std::string(NoConnectionText());
  row.NoConnection = true;
  return row;
}

std::string FoldedNoConnectionText(std::size_t hosts) {
  return std::to_string(hosts) +
         std::string(hosts == 1 ? " servidor sem conexão"_cp : " servidores sem conexão"_cp);
}

TSessionRow SessionRowFromReply(const IReplyRows& reply, const std::string& hostLine) {
  TSessionRow row;
  row.SessionKey = Field(reply, "sessionkey", kShortTextLimit);
  row.HostLine = LeftStr(hostLine, kShortTextLimit);
  row.UserName = Field(reply, "username", kShortTextLimit);
  row.LogonTime = DateTimeField(reply, "creation_time");
  row.Active = TrueField(reply, "active");
  row.Source = Field(reply, "source", kShortTextLimit);
  row.Licence = Field(reply, "licenceinfo", kLicenceLimit);
  return row;
}

// Column titles with accents, named apart: clang 14 crashes on code-page
// literals converted inside these braced lists.
constexpr std::string_view kUserTitle = "Usuário"_cp;
constexpr std::string_view kLicenceTitle = "Licença"_cp;

std::vector<std::string> TaskColumnTitles() {
  return {"Canc", "Id", "IP Addr", "Host", "Commando", "Tempo", "Sistema", std::string(kUserTitle)};
}

std::vector<std::string> SessionColumnTitles() {
  return {"Ativo",    std::string(kUserTitle),   "IP Addr", "Host",
          "DH Logon", std::string(kLicenceTitle)};
}

std::string TaskCellText(const TTaskRow& row, std::size_t column) {
  switch (column) {
    case 0:
      return std::string(YesNoText(row.Cancelled));
    case 1:
      return row.NoConnection ? std::string() : std::to_string(row.RequestId);
    case 2:
      return row.ClientDesc;
    case 3:
      return HostLabel(row.HostLine);
    case 4:
      return row.RequestDesc;
    case 5:
      return row.NoConnection ? std::string("—"_cp) : ElapsedText(row.ElapsedTime);
    case 6:
      return std::string(YesNoText(row.SystemCmd));
    case 7:
      return row.UserName;
    default:
      return {};
  }
}

std::optional<int64_t> TaskNumberKey(const TTaskRow& row, std::size_t column) {
  if (column == 1) return row.RequestId;
  if (column == 5) return row.ElapsedTime;
  return std::nullopt;
}

std::optional<int64_t> SessionNumberKey(const TSessionRow& row, std::size_t column) {
  if (column == kLogonColumn) return static_cast<int64_t>(row.LogonTime * kMSecsPerDay);
  return std::nullopt;
}

std::string SessionCellText(const TSessionRow& row, std::size_t column) {
  switch (column) {
    case 0:
      return std::string(YesNoText(row.Active));
    case 1:
      return row.UserName;
    case 2:
      return row.Source;
    case 3:
      return HostLabel(row.HostLine);
    case 4:
      return row.NoConnection ? std::string() : DateTimeToIsoText(row.LogonTime);
    case 5:
      return row.Licence;
    default:
      return {};
  }
}

bool SameTask(const TTaskRow& a, const TTaskRow& b) {
  return a.Host == b.Host && a.NoConnection == b.NoConnection && a.RequestId == b.RequestId;
}

bool SameSession(const TSessionRow& a, const TSessionRow& b) {
  return a.Host == b.Host && a.SessionKey == b.SessionKey;
}

TTaskAge TaskAge(const TTaskRow& row, int32_t warnSeconds, int32_t alertSeconds) {
  const int64_t elapsed = row.ElapsedTime;
  if (row.NoConnection) return TTaskAge::Normal;
  if (elapsed >= int64_t{alertSeconds} * 1000) return TTaskAge::Alert;
  return elapsed >= int64_t{warnSeconds} * 1000 ? TTaskAge::Warn : TTaskAge::Normal;
}

int CompareTasks(const TTaskRow& a, const TTaskRow& b) {
  if (a.NoConnection != b.NoConnection) return a.NoConnection ? 1 : -1;
  if (a.NoConnection || a.ElapsedTime == b.ElapsedTime) return 0;
  return a.ElapsedTime > b.ElapsedTime ? -1 : 1;
}

int CompareSessions(const TSessionRow& a, const TSessionRow& b) {
  return AnsiCompareStr(a.UserName, b.UserName);
}

void BuildTaskRows(const std::vector<std::string>& hosts, const TTakeResult& take,
                   std::vector<TTaskRow>& rows) {
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::shared_ptr<IReplyRows> reply = take(i);
    if (!reply) {
      rows.push_back(NoConnectionRow(hosts[i]));
      rows.back().Host = i;
      continue;
    }
    for (std::size_t at = 0; !reply->Eof(); reply->Next(), ++at)
      if (reply->FieldText("requestdesc") != TaskListMethod()) {
        rows.push_back(TaskRowFromReply(*reply, hosts[i]));
        rows.back().Host = i;
        rows.back().Fields = {reply, at};
      }
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const TTaskRow& a, const TTaskRow& b) { return CompareTasks(a, b) < 0; });
}

void FoldNoConnectionRows(std::vector<TTaskRow>& rows) {
  const auto silent = std::stable_partition(rows.begin(), rows.end(),
                                            [](const TTaskRow& row) { return !row.NoConnection; });
  const auto count = static_cast<std::size_t>(rows.end() - silent);
  if (count == 0) return;
  TTaskRow folded;
  folded.Host = silent->Host;
  folded.NoConnection = true;
  folded.FoldedHosts = count;
  folded.RequestDesc = FoldedNoConnectionText(count);
  rows.erase(silent, rows.end());
  rows.push_back(std::move(folded));
}

void BuildSessionView(const std::vector<std::string>& hosts, const TTakeResult& take,
                      TSessionView& view) {
  std::set<std::string, TCompareTextLess> seenKeys;
  TLicenceCounts counts;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::shared_ptr<IReplyRows> reply = take(i);
    if (!reply) continue;
    for (std::size_t at = 0; !reply->Eof(); reply->Next(), ++at) {
      view.Sessions.push_back(SessionRowFromReply(*reply, hosts[i]));
      view.Sessions.back().Host = i;
      view.Sessions.back().Fields = {reply, at};
      // Counted by the full texts; the rows show only their first characters.
      if (seenKeys.insert(reply->FieldText("sessionkey")).second)
        AddLicence(counts, reply->FieldText("licenceinfo"));
    }
  }
  for (const auto& [licence, count] : counts) {
    view.Licences.push_back(TLicenceRow{LeftStr(licence, kLicenceLimit), count});
    view.Total += count;
  }
  std::stable_sort(
      view.Sessions.begin(), view.Sessions.end(),
      [](const TSessionRow& a, const TSessionRow& b) { return CompareSessions(a, b) < 0; });
}

void CountTasks(const std::vector<TTaskRow>& rows, const std::vector<bool>& answered,
                std::vector<THostCounts>& counts) {
  for (std::size_t i = 0; i < counts.size(); ++i)
    if (answered[i]) counts[i].Tasks = counts[i].OldestMs = 0;
  for (const TTaskRow& row : rows) {
    if (row.NoConnection || row.Host >= counts.size() || !answered[row.Host]) continue;
    THostCounts& host = counts[row.Host];
    ++host.Tasks;
    host.OldestMs = std::max(host.OldestMs, row.ElapsedTime);
  }
}

void CountSessions(const std::vector<TSessionRow>& rows, const std::vector<bool>& answered,
                   std::vector<THostCounts>& counts) {
  std::vector<std::set<std::string, TCompareTextLess>> licences(counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i)
    if (answered[i]) counts[i].Sessions = 0;
  for (const TSessionRow& row : rows) {
    if (row.Host >= counts.size() || !answered[row.Host]) continue;
    ++counts[row.Host].Sessions;
    licences[row.Host].insert(row.Licence);
  }
  for (std::size_t i = 0; i < counts.size(); ++i)
    if (answered[i]) counts[i].Licences = static_cast<int32_t>(licences[i].size());
}

std::string TaskLabelText() { return "."; }

std::string SessionLabelText(int32_t total) {
  return std::to_string(total) + std::string(" sessões"_cp);
}

}  // namespace quv
