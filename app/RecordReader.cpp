#include "app/RecordReader.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

constexpr std::string_view kCancelText = "cancelamento";

// A task's elapsed ms at `at`, from what it had run when first seen; a file
// may hold any number, so the sum is taken in floating point and bounded.
int64_t ElapsedAt(int64_t elapsedAtFirstSight, int64_t at, int64_t firstSeen) {
  constexpr double kBound = 9e18;
  const double elapsed = double(elapsedAtFirstSight) + (double(at) - double(firstSeen));
  return static_cast<int64_t>(std::clamp(elapsed, -kBound, kBound));
}

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
      if (FNames[i] == name) return FRows[FRow][i];
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

const std::vector<std::string> kTaskFields = {
    "requestid", "clientdesc", "requestdesc", "ellapsedtime", "systemcmd", "username", "cancelled"};
const std::vector<std::string> kSessionFields = {"sessionkey", "username", "creation_time",
                                                 "active",     "source",   "licenceinfo"};

std::string HostLineOf(const std::string& label, const std::string& address) {
  return label.empty() ? address : label + "=" + address;
}

const char* TrueText(bool value) { return value ? "true" : "false"; }

// Server ids as an SQL list, "(1,4)".
std::string IdList(const std::vector<int64_t>& ids) {
  std::string list = "(";
  for (const int64_t id : ids) list += (list.size() > 1 ? "," : "") + std::to_string(id);
  return list + ")";
}

// The spans of `table` (whose primary key ends with `key`) first seen up to
// ?2 that meet `condition` on t, which must leave out what ended before ?1:
// the short ones first seen from a short span (?3) before ?1, and the long
// ones first seen earlier that had not ended before ?1, looked up from
// their keys (CROSS JOIN keeps that order).
std::string SpansAround(const std::string& table, const std::string& key,
                        const std::string& condition) {
  return "SELECT t.* FROM " + table + " t WHERE t.first_seen BETWEEN ?1 - ?3 AND ?2" + condition +
         " UNION ALL SELECT t.* FROM long_" + table + " l CROSS JOIN " + table +
         " t ON t.first_seen = l.first_seen AND t.server = l.server AND t." + key + " = l." + key +
         " WHERE l.first_seen < ?1 - ?3 AND (l.until IS NULL OR l.until >= ?1)" + condition;
}

THostState StateOfText(const std::string& text) {
  for (THostState state : {THostState::Answering, THostState::NoConnection, THostState::Error})
    if (HostStateText(state) == text) return state;
  return THostState::StillWaiting;
}

}  // namespace

TRecordReader::TRecordReader(const std::string& fileName) : FFile(fileName, false) {}

std::pair<double, double> TRecordReader::Period() const {
  TSqlStatement events(FFile.Db(), "SELECT min(at), max(at) FROM server_events");
  events.Step();
  double first = events.IsNull(0) ? 0 : events.Real(0), last = events.Real(1);
  if (!FFile.LoadEpoch()) return {first, last};
  TSqlStatement spans(FFile.Db(),
                      "SELECT min(f) FROM (SELECT min(first_seen) AS f FROM tasks UNION ALL "
                      "SELECT min(first_seen) FROM sessions)");
  spans.Step();
  if (!spans.IsNull(0)) {
    const double firstSeen = FFile.ToDateTime(spans.Integer(0));
    first = first == 0 ? firstSeen : std::min(first, firstSeen);
    for (const char* key : {kLastTaskRefreshKey, kLastSessionRefreshKey})
      if (FFile.Meta(key)) last = std::max(last, FFile.ToDateTime(FFile.MetaInteger(key, 0)));
  }
  return {first, last};
}

std::vector<TRecordReader::TServer> TRecordReader::Servers(const std::string& host) const {
  std::vector<TServer> servers;
  TSqlStatement select(FFile.Db(), "SELECT id, label, address FROM servers ORDER BY id");
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
  TSqlStatement select(FFile.Db(),
                       "SELECT state, cause FROM server_events WHERE server = ?1 AND at <= ?2 "
                       "ORDER BY at DESC LIMIT 1");
  for (const TServer& server : Servers("")) {
    const auto at = std::find(hosts.begin(), hosts.end(), server.Line);
    if (at == hosts.end()) continue;
    select.Reset();
    if (!select.Bind(1, server.Id).Bind(2, when).Step()) continue;
    THostStatus& status = statuses[at - hosts.begin()];
    status.State = StateOfText(select.Text(0));
    status.Cause = select.Text(1);
  }
  return statuses;
}

double TRecordReader::AnsweredInstant(double when, bool sessions) const {
  const char* key = sessions ? kLastSessionRefreshKey : kLastTaskRefreshKey;
  if (!FFile.LoadEpoch() || !FFile.Meta(key)) return when;
  return std::min(when, FFile.ToDateTime(FFile.MetaInteger(key, 0)));
}

TFleetRead TRecordReader::ReadAt(double asked, bool sessions, const TFleetView& view) const {
  const double when = AnsweredInstant(asked, sessions);
  const std::vector<std::string>& hosts = view.Hosts();
  const std::vector<THostStatus> statuses = StatesAt(when, hosts);
  const std::vector<std::string>& names = sessions ? kSessionFields : kTaskFields;
  std::vector<std::unique_ptr<TRecordedReply>> replies(hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i)
    if (statuses[i].State == THostState::Answering)
      replies[i] = std::make_unique<TRecordedReply>(names);
  std::unordered_map<std::string, std::size_t> hostIndex;
  for (std::size_t i = 0; i < hosts.size(); ++i) hostIndex.emplace(hosts[i], i);
  std::unordered_map<int64_t, TRecordedReply*> replyOf;
  for (const TServer& server : Servers("")) {
    const auto at = hostIndex.find(server.Line);
    if (at != hostIndex.end() && replies[at->second])
      replyOf[server.Id] = replies[at->second].get();
  }
  if (FFile.LoadEpoch()) {
    // A span was listed by the last refresh at or before the instant when it
    // was first seen by then and not yet found ended (through the last
    // refresh of its list while open, through its last sight when the
    // refresh that missed it is unknown).
    const std::string listed =
        " AND CASE WHEN t.seen IS NULL THEN ?1 <= ?4 ELSE ?1 < t.first_seen + t.seen + "
        "coalesce(t.gap, 1) END";
    const std::string sql =
        sessions ? "SELECT t.server, t.session_key, u.text, t.logon, t.active, w.text, l.text "
                   "FROM (" +
                       SpansAround("sessions", "session_key", listed) +
                       ") t LEFT JOIN texts u ON u.id = t.user LEFT JOIN texts w ON "
                       "w.id = t.workstation LEFT JOIN texts l ON l.id = t.licence"
                 : "SELECT t.server, t.request_id, u.text, t.first_seen, t.elapsed, w.text, "
                   "m.text, t.flags FROM (" +
                       SpansAround("tasks", "request_id", listed) +
                       ") t LEFT JOIN texts u ON u.id = t.user LEFT JOIN texts w ON w.id = "
                       "t.workstation LEFT JOIN texts m ON m.id = t.method";
    TSqlStatement select(FFile.Db(), sql.c_str());
    const int64_t at = FFile.ToMs(when);
    select.Bind(1, at).Bind(2, at).Bind(3, kShortSpanMs);
    select.Bind(4, FFile.MetaInteger(sessions ? kLastSessionRefreshKey : kLastTaskRefreshKey, 0));
    while (select.Step()) {
      const auto reply = replyOf.find(select.Integer(0));
      if (reply == replyOf.end()) continue;
      if (sessions) {
        const std::string logon =
            select.IsNull(3) ? "" : NumberText(FFile.ToDateTime(select.Integer(3)));
        reply->second->Add({select.Text(1), select.Text(2), logon, TrueText(select.Integer(4)),
                            select.Text(5), select.Text(6)});
      } else {
        const int64_t elapsed = ElapsedAt(select.Integer(4), at, select.Integer(3));
        const int64_t flags = select.Integer(7);
        reply->second->Add({std::to_string(select.Integer(1)), select.Text(5), select.Text(6),
                            std::to_string(elapsed), TrueText(flags & 1), select.Text(2),
                            TrueText(flags & 2)});
      }
    }
  }
  return view.ReadReplies(sessions, statuses,
                          [&replies](std::size_t i) { return std::move(replies[i]); });
}

std::vector<TRecordedTask> TRecordReader::Longest(std::size_t count, double from, double to,
                                                  const std::string& host) const {
  std::map<int64_t, std::string> lines;
  std::vector<int64_t> ids;
  for (const TServer& server : Servers(host)) {
    lines[server.Id] = server.Line;
    ids.push_back(server.Id);
  }
  std::vector<TRecordedTask> tasks;
  if (lines.empty() || !FFile.LoadEpoch()) return tasks;
  // Open tasks run through the last refresh of the list. The texts are
  // looked up for the tasks kept only.
  const std::string seen = " AND t.first_seen + coalesce(t.seen, ?4 - t.first_seen) >= ?1" +
                           (host.empty() ? std::string() : " AND t.server IN " + IdList(ids));
  const std::string sql =
      "SELECT server, request_id, u.text, m.text, w.text, first_seen - elapsed, last, ended FROM "
      "(SELECT *, first_seen + coalesce(seen, ?4 - first_seen) AS last FROM (" +
      SpansAround("tasks", "request_id", seen) +
      ") ORDER BY last - first_seen + elapsed DESC LIMIT ?5) t LEFT JOIN texts u ON u.id = t.user "
      "LEFT JOIN texts m ON m.id = t.method LEFT JOIN texts w ON w.id = t.workstation "
      "ORDER BY last - first_seen + elapsed DESC";
  TSqlStatement select(FFile.Db(), sql.c_str());
  select.Bind(1, FFile.ToMs(from)).Bind(2, FFile.ToMs(to)).Bind(3, kShortSpanMs);
  select.Bind(4, FFile.MetaInteger(kLastTaskRefreshKey, 0));
  select.Bind(5, static_cast<int64_t>(count));
  while (select.Step()) {
    const auto line = lines.find(select.Integer(0));
    if (line == lines.end()) continue;
    tasks.push_back({line->second, static_cast<int32_t>(select.Integer(1)), select.Text(2),
                     select.Text(3), select.Text(4), FFile.ToDateTime(select.Integer(5)),
                     FFile.ToDateTime(select.Integer(6)),
                     SpanEndText(static_cast<TSpanEnd>(select.Integer(7)))});
  }
  return tasks;
}

std::vector<TRecordedEvent> TRecordReader::Events(double from, double to,
                                                  const std::string& host) const {
  std::map<int64_t, std::string> lines;
  for (const TServer& server : Servers(host)) lines[server.Id] = server.Line;
  TSqlStatement select(FFile.Db(),
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
