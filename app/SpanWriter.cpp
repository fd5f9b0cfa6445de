#include "app/SpanWriter.h"

#include <sqlite3.h>

#include <optional>

#include "app/HostConfig.h"

namespace quv {

namespace {

// Deletes the oldest spans of `table` that ended (before ?1 when `aged`), ?2
// at most; `key` completes the table's primary key.
std::string PruneSql(const std::string& table, const std::string& key, bool aged) {
  return "DELETE FROM " + table + " WHERE (first_seen, server, " + key +
         ") IN (SELECT first_seen, server, " + key + " FROM " + table + " WHERE ended IS NOT NULL" +
         (aged ? " AND first_seen < ?1 AND first_seen + seen + coalesce(gap, 0) < ?1" : "") +
         " ORDER BY first_seen LIMIT ?2)";
}

// The first column of a query's one row. The query is reset at once: one
// left on its row keeps a read of the file open past the commit, and while
// it does no checkpoint copies the write-ahead log back, which then grows
// for as long as the recorder runs.
int64_t FirstInteger(TSqlStatement& query) {
  query.Step();
  const int64_t value = query.Integer(0);
  query.Reset();
  return value;
}

}  // namespace

int64_t TaskFlags(const TTaskRow& row) { return (row.SystemCmd ? 1 : 0) | (row.Cancelled ? 2 : 0); }

TSpanWriter::TSpanWriter(TRecordFile& file)
    : FFile(file),
      FBegin(file.Db(), "BEGIN"),
      FCommit(file.Db(), "COMMIT"),
      FAddServer(file.Db(), "INSERT OR IGNORE INTO servers(label, address) VALUES(?, ?)"),
      FFindServer(file.Db(), "SELECT id FROM servers WHERE label = ? AND address = ?"),
      FAddText(file.Db(), "INSERT OR IGNORE INTO texts(text) VALUES(?)"),
      FFindText(file.Db(), "SELECT id FROM texts WHERE text = ?"),
      FAddTask(file.Db(),
               "INSERT OR IGNORE INTO tasks(first_seen, server, request_id, elapsed, user, "
               "method, workstation, flags) VALUES(?, ?, ?, ?, ?, ?, ?, ?)"),
      FCloseTask(file.Db(),
                 "UPDATE tasks SET flags = ?4, seen = ?5, gap = ?6, ended = ?7 WHERE "
                 "first_seen = ?1 AND server = ?2 AND request_id = ?3"),
      FAddSession(file.Db(),
                  "INSERT OR IGNORE INTO sessions(first_seen, server, session_key, logon, user, "
                  "workstation, licence, active) VALUES(?, ?, ?, ?, ?, ?, ?, ?)"),
      FCloseSession(file.Db(),
                    "UPDATE sessions SET active = ?4, seen = ?5, gap = ?6, ended = ?7 WHERE "
                    "first_seen = ?1 AND server = ?2 AND session_key = ?3"),
      FMarkLongTask(file.Db(), "INSERT OR REPLACE INTO long_tasks VALUES(?, ?, ?, ?)"),
      FMarkLongSession(file.Db(), "INSERT OR REPLACE INTO long_sessions VALUES(?, ?, ?, ?)"),
      FAddEvent(file.Db(), "INSERT INTO server_events VALUES(?, ?, ?, ?)"),
      FAddCancel(file.Db(), "INSERT INTO cancels VALUES(?, ?, ?, ?, ?)"),
      FSetMeta(file.Db(), "INSERT OR REPLACE INTO meta VALUES(?, ?)"),
      FPruneTasks(file.Db(), PruneSql("tasks", "request_id", true).c_str()),
      FPruneSessions(file.Db(), PruneSql("sessions", "session_key", true).c_str()),
      FPruneEvents(file.Db(),
                   "DELETE FROM server_events WHERE rowid IN (SELECT rowid FROM server_events "
                   "WHERE at < ?1 LIMIT ?2)"),
      FPruneCancels(file.Db(),
                    "DELETE FROM cancels WHERE rowid IN (SELECT rowid FROM cancels WHERE at < "
                    "?1 LIMIT ?2)"),
      FTrimTasks(file.Db(), PruneSql("tasks", "request_id", false).c_str()),
      FTrimSessions(file.Db(), PruneSql("sessions", "session_key", false).c_str()),
      FUsedBytes(file.Db(),
                 "SELECT ((SELECT page_count FROM pragma_page_count()) - (SELECT freelist_count "
                 "FROM pragma_freelist_count())) * (SELECT page_size FROM pragma_page_size())") {}

void TSpanWriter::Begin() {
  FBegin.Reset();
  FBegin.Step();
}

void TSpanWriter::Commit() {
  FCommit.Reset();
  FCommit.Step();
}

void TSpanWriter::Rollback() { sqlite3_exec(FFile.Db(), "ROLLBACK", nullptr, nullptr, nullptr); }

int64_t TSpanWriter::ServerId(const std::string& hostLine) {
  if (const auto found = FServers.find(hostLine); found != FServers.end()) return found->second;
  const std::string label = HostLabel(hostLine), address = HostAddress(hostLine);
  FAddServer.Reset();
  FAddServer.Bind(1, label).Bind(2, address).Step();
  FFindServer.Reset();
  FFindServer.Bind(1, label).Bind(2, address);
  return FServers[hostLine] = FirstInteger(FFindServer);
}

int64_t TSpanWriter::TextId(const std::string& text) {
  if (const auto found = FTexts.find(text); found != FTexts.end()) return found->second;
  FAddText.Reset();
  FAddText.Bind(1, text).Step();
  FFindText.Reset();
  FFindText.Bind(1, text);
  return FTexts[text] = FirstInteger(FFindText);
}

void TSpanWriter::AddTask(int64_t firstSeen, int64_t server, const TTaskRow& row) {
  FAddTask.Reset();
  FAddTask.Bind(1, firstSeen).Bind(2, server).Bind(3, int64_t{row.RequestId});
  FAddTask.Bind(4, int64_t{row.ElapsedTime}).Bind(5, TextId(row.UserName));
  FAddTask.Bind(6, TextId(row.RequestDesc)).Bind(7, TextId(row.ClientDesc));
  FAddTask.Bind(8, TaskFlags(row)).Step();
}

void TSpanWriter::CloseTask(int64_t firstSeen, int64_t server, int32_t requestId, int64_t flags,
                            const TSpanClose& close) {
  FCloseTask.Reset();
  FCloseTask.Bind(1, firstSeen).Bind(2, server).Bind(3, int64_t{requestId}).Bind(4, flags);
  FCloseTask.Bind(5, close.Seen).Bind(6, close.Gap).Bind(7, static_cast<int64_t>(close.End));
  FCloseTask.Step();
  if (close.Seen + close.Gap > kShortSpanMs)
    MarkLongTask(firstSeen, server, requestId, firstSeen + close.Seen + close.Gap);
}

void TSpanWriter::MarkLongTask(int64_t firstSeen, int64_t server, int32_t requestId,
                               std::optional<int64_t> until) {
  FMarkLongTask.Reset();
  FMarkLongTask.Bind(1, firstSeen).Bind(2, server).Bind(3, int64_t{requestId});
  if (until) FMarkLongTask.Bind(4, *until);
  FMarkLongTask.Step();
}

void TSpanWriter::AddSession(int64_t firstSeen, int64_t server, const TSessionRow& row) {
  FAddSession.Reset();
  FAddSession.Bind(1, firstSeen).Bind(2, server).Bind(3, row.SessionKey);
  FAddSession.Bind(4, FFile.ToMs(row.LogonTime)).Bind(5, TextId(row.UserName));
  FAddSession.Bind(6, TextId(row.Source)).Bind(7, TextId(row.Licence));
  FAddSession.Bind(8, int64_t{row.Active}).Step();
}

void TSpanWriter::CloseSession(int64_t firstSeen, int64_t server, const std::string& key,
                               bool active, const TSpanClose& close) {
  FCloseSession.Reset();
  FCloseSession.Bind(1, firstSeen).Bind(2, server).Bind(3, key).Bind(4, int64_t{active});
  FCloseSession.Bind(5, close.Seen).Bind(6, close.Gap).Bind(7, static_cast<int64_t>(close.End));
  FCloseSession.Step();
  if (close.Seen + close.Gap > kShortSpanMs)
    MarkLongSession(firstSeen, server, key, firstSeen + close.Seen + close.Gap);
}

void TSpanWriter::MarkLongSession(int64_t firstSeen, int64_t server, const std::string& key,
                                  std::optional<int64_t> until) {
  FMarkLongSession.Reset();
  FMarkLongSession.Bind(1, firstSeen).Bind(2, server).Bind(3, key);
  if (until) FMarkLongSession.Bind(4, *until);
  FMarkLongSession.Step();
}

void TSpanWriter::CloseLeftOpen() {
  // Open spans began within the short span before the last refresh, or are long.
  for (const char* sql :
       {"UPDATE tasks SET seen = max(0, (SELECT task_refresh FROM clock) - first_seen), ended = 4 "
        "WHERE ended IS NULL AND (first_seen >= (SELECT task_refresh FROM clock) - ?1 OR "
        "(first_seen, server, request_id) IN (SELECT first_seen, server, request_id FROM "
        "long_tasks))",
        "UPDATE sessions SET seen = max(0, (SELECT session_refresh FROM clock) - first_seen), "
        "ended = 4 WHERE ended IS NULL AND (first_seen >= (SELECT session_refresh FROM clock) - "
        "?1 OR (first_seen, server, session_key) IN (SELECT first_seen, server, session_key "
        "FROM long_sessions))"}) {
    TSqlStatement close(FFile.Db(), sql);
    close.Bind(1, kShortSpanMs).Step();
  }
  ExecuteSql(FFile.Db(),
             "UPDATE long_tasks SET until = (SELECT task_refresh FROM clock) WHERE until IS NULL;"
             "UPDATE long_sessions SET until = (SELECT session_refresh FROM clock) WHERE until IS "
             "NULL;");
}

void TSpanWriter::AddServerEvent(int64_t server, double when, const std::string& state,
                                 const std::string& cause) {
  FAddEvent.Reset();
  FAddEvent.Bind(1, server).Bind(2, when).Bind(3, state).Bind(4, cause).Step();
}

void TSpanWriter::AddCancel(int64_t server, double when, const std::string& kind,
                            const std::string& target, const std::string& result) {
  FAddCancel.Reset();
  FAddCancel.Bind(1, when).Bind(2, server).Bind(3, kind).Bind(4, target).Bind(5, result).Step();
}

void TSpanWriter::SetLastRefresh(bool sessions, int64_t ms) {
  FSetMeta.Reset();
  FSetMeta.Bind(1, std::string(sessions ? kLastSessionRefreshKey : kLastTaskRefreshKey));
  FSetMeta.Bind(2, std::to_string(ms)).Step();
}

void TSpanWriter::Prune(double before, int64_t maxBytes) {
  for (TSqlStatement* prune : {&FPruneTasks, &FPruneSessions}) {
    prune->Reset();
    prune->Bind(1, FFile.ToMs(before)).Bind(2, kPruneBatch).Step();
  }
  for (TSqlStatement* prune : {&FPruneEvents, &FPruneCancels}) {
    prune->Reset();
    prune->Bind(1, before).Bind(2, kPruneBatch).Step();
  }
  if (UsedBytes() <= maxBytes) return;
  // Over the size: the oldest that ended go, whatever their age.
  for (TSqlStatement* trim : {&FTrimTasks, &FTrimSessions}) {
    trim->Reset();
    trim->Bind(2, kPruneBatch).Step();
  }
}

int64_t TSpanWriter::UsedBytes() {
  FUsedBytes.Reset();
  return FirstInteger(FUsedBytes);
}

}  // namespace quv
