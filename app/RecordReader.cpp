#include "app/RecordReader.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

constexpr double kMsPerDay = 86400000;
constexpr std::string_view kCancelText = "cancelamento";

// The rows one host listed at an instant, made anew from the record, read
// as the viewer reads a server's reply.
class TRecordedReply final : public IReplyRows {
 public:
  explicit TRecordedReply(const std::vector<std::string>& names) : FNames(names) {}

  void Add(std::vector<std::string> texts) { FRows.push_back(std::move(texts)); }
  bool Eof() const override { return FRow >= FRows.size(); }
  void Next() override { ++FRow; }
  std::string FieldText(const std::string& name) const override {
    for (std::size_t i = 0; i < FNames.size(); ++i)
      if (AnsiCompareText(FNames[i], name) == 0) return FRows[FRow][i];
    return "";
  }
  std::vector<std::pair<std::string, std::string>> RowFields(std::size_t row) const override {
    std::vector<std::pair<std::string, std::string>> fields;
    for (std::size_t i = 0; i < FNames.size(); ++i) fields.emplace_back(FNames[i], FRows[row][i]);
    return fields;
  }

 private:
  const std::vector<std::string>& FNames;
  std::vector<std::vector<std::string>> FRows;
  std::size_t FRow = 0;
};

const std::vector<std::string> kTaskFields = {"requestid", "clientdesc",  "requestdesc",
                                              "ellapsedtime", "systemcmd", "username",
                                              "cancelled"};
const std::vector<std::string> kSessionFields = {"sessionkey", "username", "creation_time",
                                                 "active",     "source",   "licenceinfo"};

std::string NumberText(double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

std::string HostLineOf(const std::string& label, const std::string& address) {
  return label.empty() ? address : label + "=" + address;
}

THostState StateOfText(const std::string& text) {
  for (THostState state : {THostState::Answering, THostState::NoConnection, THostState::Error})
    if (HostStateText(state) == text) return state;
  return THostState::StillWaiting;
}

}  // namespace

TRecordReader::TRecordReader(const std::string& fileName) : FFileName(fileName) {
  if (sqlite3_open_v2(fileName.c_str(), &FDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string reason = FDb ? sqlite3_errmsg(FDb) : "out of memory";
    sqlite3_close(FDb);
    throw ERecorderError(fileName + ": " + reason);
  }
  try {
    TSqlStatement version(FDb, "SELECT value FROM meta WHERE key = 'schema_version'");
    if (!version.Step()) throw ERecorderError("not a record file (no schema version)");
    if (std::stoi(version.Text(0)) > 1)
      throw ERecorderError("the file was written by a newer version (schema " + version.Text(0) +
                           ")");
  } catch (const std::exception& e) {
    sqlite3_close(FDb);
    throw ERecorderError(fileName + ": " + e.what());
  }
}

TRecordReader::~TRecordReader() { sqlite3_close(FDb); }

std::pair<double, double> TRecordReader::Period() const {
  TSqlStatement period(FDb,
                       "SELECT min(at), max(at) FROM (SELECT at FROM server_events UNION ALL "
                       "SELECT first_seen FROM task_spans UNION ALL SELECT last_seen FROM "
                       "task_spans UNION ALL SELECT first_seen FROM session_spans UNION ALL "
                       "SELECT last_seen FROM session_spans)");
  period.Step();
  return {period.Real(0), period.Real(1)};
}

std::vector<TRecordReader::TServer> TRecordReader::Servers(const std::string& host) const {
  std::vector<TServer> servers;
  TSqlStatement select(FDb, "SELECT id, label, address FROM servers ORDER BY id");
  while (select.Step()) {
    const std::string label = select.Text(1), address = select.Text(2);
    if (host.empty() || AnsiCompareText(label, host) == 0 || AnsiCompareText(address, host) == 0)
      servers.push_back({select.Integer(0), HostLineOf(label, address)});
  }
  return servers;
}

std::vector<std::string> TRecordReader::Hosts(const std::string& host) const {
  std::vector<std::string> lines;
  for (const TServer& server : Servers(host)) lines.push_back(server.Line);
  return lines;
}

std::vector<THostStatus> TRecordReader::StatesAt(double when,
                                                 const std::vector<std::string>& hosts) const {
  std::vector<THostStatus> statuses(hosts.size());
  TSqlStatement select(FDb,
                       "SELECT label, address, state, cause FROM servers JOIN server_events e "
                       "ON e.server = servers.id WHERE e.at = (SELECT max(at) FROM server_events "
                       "WHERE server = servers.id AND at <= ?1)");
  select.Bind(1, when);
  while (select.Step()) {
    const auto at = std::find(hosts.begin(), hosts.end(), HostLineOf(select.Text(0), select.Text(1)));
    if (at == hosts.end()) continue;
    THostStatus& status = statuses[at - hosts.begin()];
    status.State = StateOfText(select.Text(2));
    status.Cause = select.Text(3);
  }
  return statuses;
}

TFleetRead TRecordReader::ReadAt(double when, bool sessions, const TFleetView& view) const {
  const std::vector<std::string>& hosts = view.Hosts();
  const std::vector<THostStatus> statuses = StatesAt(when, hosts);
  const std::vector<std::string>& names = sessions ? kSessionFields : kTaskFields;
  std::vector<std::unique_ptr<TRecordedReply>> replies(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i)
    if (statuses[i].State == THostState::Answering)
      replies[i] = std::make_unique<TRecordedReply>(names);
  TSqlStatement select(
      FDb, sessions ? "SELECT label, address, session_key, user, first_seen, workstation, licence "
                      "FROM session_spans JOIN servers ON servers.id = server "
                      "WHERE first_seen <= ?1 AND last_seen >= ?1 ORDER BY session_spans.id"
                    : "SELECT label, address, request_id, user, first_seen, workstation, method "
                      "FROM task_spans JOIN servers ON servers.id = server "
                      "WHERE first_seen <= ?1 AND last_seen >= ?1 ORDER BY task_spans.id");
  select.Bind(1, when);
  while (select.Step()) {
    const auto at = std::find(hosts.begin(), hosts.end(), HostLineOf(select.Text(0), select.Text(1)));
    if (at == hosts.end() || !replies[at - hosts.begin()]) continue;
    TRecordedReply& reply = *replies[at - hosts.begin()];
    if (sessions) {
      reply.Add({select.Text(2), select.Text(3), "", "", select.Text(5), select.Text(6)});
    } else {
      const double elapsed = std::round((when - select.Real(4)) * kMsPerDay);
      reply.Add({select.Text(2), select.Text(5), select.Text(6), NumberText(elapsed), "false",
                 select.Text(3), "false"});
    }
  }
  return view.ReadReplies(sessions, statuses,
                          [&replies](std::size_t i) { return std::move(replies[i]); });
}

std::vector<TRecordedTask> TRecordReader::Longest(std::size_t count, double from, double to,
                                                  const std::string& host) const {
  std::map<int64_t, std::string> lines;
  for (const TServer& server : Servers(host)) lines[server.Id] = server.Line;
  TSqlStatement select(FDb,
                       "SELECT server, request_id, user, method, workstation, first_seen, "
                       "last_seen, ended FROM task_spans WHERE first_seen <= ?2 AND "
                       "last_seen >= ?1 ORDER BY last_seen - first_seen DESC");
  select.Bind(1, from).Bind(2, to);
  std::vector<TRecordedTask> tasks;
  while (tasks.size() < count && select.Step()) {
    const auto line = lines.find(select.Integer(0));
    if (line == lines.end()) continue;
    tasks.push_back({line->second, static_cast<int32_t>(select.Integer(1)), select.Text(2),
                     select.Text(3), select.Text(4), select.Real(5), select.Real(6),
                     select.Text(7)});
  }
  return tasks;
}

std::vector<TRecordedEvent> TRecordReader::Events(double from, double to,
                                                  const std::string& host) const {
  std::map<int64_t, std::string> lines;
  for (const TServer& server : Servers(host)) lines[server.Id] = server.Line;
  TSqlStatement select(FDb,
                       "SELECT at, server, state, cause FROM server_events WHERE at BETWEEN ?1 "
                       "AND ?2 UNION ALL SELECT at, server, '', kind || ' ' || target || ': ' "
                       "|| result FROM cancels WHERE at BETWEEN ?1 AND ?2 ORDER BY 1");
  select.Bind(1, from).Bind(2, to);
  std::vector<TRecordedEvent> events;
  while (select.Step()) {
    const auto line = lines.find(select.Integer(1));
    if (line == lines.end()) continue;
    const std::string state = select.Text(2);
    events.push_back({select.Real(0), line->second,
                      state.empty() ? std::string(kCancelText) : state, select.Text(3)});
  }
  return events;
}

}  // namespace quv
