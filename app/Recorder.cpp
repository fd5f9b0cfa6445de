#include "app/Recorder.h"

#include <sqlite3.h>

#include <algorithm>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS servers(
  id INTEGER PRIMARY KEY, label TEXT NOT NULL, address TEXT NOT NULL, UNIQUE(label, address));
CREATE TABLE IF NOT EXISTS server_events(
  server INTEGER NOT NULL REFERENCES servers(id), at REAL NOT NULL, state TEXT NOT NULL,
  cause TEXT);
CREATE TABLE IF NOT EXISTS task_spans(
  id INTEGER PRIMARY KEY, server INTEGER NOT NULL REFERENCES servers(id),
  request_id INTEGER NOT NULL, user TEXT, method TEXT, workstation TEXT,
  first_seen REAL NOT NULL, last_seen REAL NOT NULL, ended TEXT);
CREATE TABLE IF NOT EXISTS session_spans(
  id INTEGER PRIMARY KEY, server INTEGER NOT NULL REFERENCES servers(id),
  session_key TEXT NOT NULL, user TEXT, workstation TEXT, licence TEXT,
  first_seen REAL NOT NULL, last_seen REAL NOT NULL, ended TEXT);
CREATE TABLE IF NOT EXISTS cancels(
  at REAL NOT NULL, server INTEGER NOT NULL REFERENCES servers(id), kind TEXT NOT NULL,
  target TEXT NOT NULL, result TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS task_spans_time ON task_spans(first_seen, last_seen);
CREATE INDEX IF NOT EXISTS session_spans_time ON session_spans(first_seen, last_seen);
CREATE INDEX IF NOT EXISTS server_events_time ON server_events(at);
)sql";

// Named apart: clang 14 crashes on some code-page literals inside expressions.
constexpr std::string_view kTaskKind = "tarefa";
constexpr std::string_view kSessionKind = "sessão"_cp;

std::string StateText(const THostStatus& status) { return std::string(HostStateText(status.State)); }

}  // namespace

TRecordedRefresh RefreshToRecord(const TFleetView& view, bool sessions, double when) {
  TRecordedRefresh refresh;
  refresh.When = when;
  refresh.Sessions = sessions;
  refresh.Hosts = view.HostRows();
  if (sessions)
    refresh.SessionRows = view.Sessions().Sessions;
  else
    refresh.Tasks = view.Tasks();
  return refresh;
}

TRecorder::TRecorder(const std::string& fileName, std::size_t maxQueued, double retentionDays)
    : FMaxQueued(maxQueued), FRetentionDays(retentionDays) {
  if (sqlite3_open_v2(fileName.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    const std::string reason = FDb ? sqlite3_errmsg(FDb) : "out of memory";
    sqlite3_close(FDb);
    throw ERecorderError(fileName + ": " + reason);
  }
  try {
    ExecuteSql(FDb, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    ExecuteSql(FDb, kSchema);
    TSqlStatement version(FDb, "SELECT value FROM meta WHERE key = 'schema_version'");
    if (version.Step() && std::stoi(version.Text(0)) > kSchemaVersion)
      throw ERecorderError("the file was written by a newer version (schema " + version.Text(0) +
                           ", this one reads up to " + std::to_string(kSchemaVersion) + ")");
    ExecuteSql(FDb, "INSERT OR IGNORE INTO meta VALUES('schema_version', '" +
            std::to_string(kSchemaVersion) + "')");
  } catch (const std::exception& e) {
    sqlite3_close(FDb);
    throw ERecorderError(fileName + ": " + e.what());
  }
  FWriter = std::thread([this] { Run(); });
}

TRecorder::~TRecorder() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStopping = true;
  }
  FQueued.notify_all();
  FWriter.join();
  sqlite3_close(FDb);
}

bool TRecorder::Submit(TRecordedRefresh refresh) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FQueue.size() >= FMaxQueued || !FFailure.empty()) {
      ++FDropped;
      return false;
    }
    FQueue.push_back(std::move(refresh));
  }
  FQueued.notify_one();
  return true;
}

void TRecorder::SubmitCancel(double when, const TCancelOutcome& outcome) {
  std::lock_guard<std::mutex> guard(FLock);
  FCancels.push_back({when, outcome});
}

std::size_t TRecorder::Written() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FWritten;
}

std::size_t TRecorder::Dropped() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDropped;
}

std::string TRecorder::Failure() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFailure;
}

// Writes what is queued until asked to stop, then what is left.
void TRecorder::Run() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FQueued.wait(lock, [this] { return FStopping || !FQueue.empty(); });
    if (FQueue.empty()) return;
    TRecordedRefresh refresh = std::move(FQueue.front());
    FQueue.pop_front();
    std::vector<TCancel> cancels = std::move(FCancels);
    FCancels.clear();
    lock.unlock();
    std::string failure;
    try {
      Write(refresh, cancels);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    lock.lock();
    if (failure.empty()) {
      ++FWritten;
    } else {
      FFailure = failure;
      FDropped += 1 + FQueue.size();
      FQueue.clear();
    }
  }
}

void TRecorder::Write(const TRecordedRefresh& refresh, const std::vector<TCancel>& cancels) {
  ExecuteSql(FDb, "BEGIN");
  try {
    RecordCancels(cancels);
    RecordStates(refresh);
    RecordSpans(refresh);
    Prune(refresh.When);
    ExecuteSql(FDb, "COMMIT");
  } catch (...) {
    sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

int64_t TRecorder::ServerId(const std::string& hostLine) {
  if (const auto found = FServers.find(hostLine); found != FServers.end()) return found->second;
  TSqlStatement insert(FDb, "INSERT OR IGNORE INTO servers(label, address) VALUES(?, ?)");
  insert.Bind(1, HostLabel(hostLine)).Bind(2, HostAddress(hostLine)).Step();
  TSqlStatement select(FDb, "SELECT id FROM servers WHERE label = ? AND address = ?");
  select.Bind(1, HostLabel(hostLine)).Bind(2, HostAddress(hostLine)).Step();
  return FServers[hostLine] = select.Integer(0);
}

void TRecorder::RecordStates(const TRecordedRefresh& refresh) {
  for (const THostRow& host : refresh.Hosts) {
    const std::string state = StateText(host.Status);
    std::string& last = FLastState[host.Line];
    if (last == state) continue;
    last = state;
    TSqlStatement insert(FDb, "INSERT INTO server_events VALUES(?, ?, ?, ?)");
    insert.Bind(1, ServerId(host.Line)).Bind(2, refresh.When).Bind(3, state);
    insert.Bind(4, host.Status.Cause).Step();
  }
}

void TRecorder::RecordSpans(const TRecordedRefresh& refresh) {
  const std::string list = refresh.Sessions ? "s|" : "t|";
  for (auto& [key, span] : FOpenSpans)
    if (key.starts_with(list)) span.Seen = false;
  const auto touch = [&](const std::string& hostLine, const std::string& id, auto insert) {
    const std::string key = list + std::to_string(ServerId(hostLine)) + "|" + id;
    const auto found = FOpenSpans.find(key);
    if (found != FOpenSpans.end()) {
      TSqlStatement update(FDb, refresh.Sessions
                                 ? "UPDATE session_spans SET last_seen = ? WHERE id = ?"
                                 : "UPDATE task_spans SET last_seen = ? WHERE id = ?");
      update.Bind(1, refresh.When).Bind(2, found->second.Row).Step();
      found->second.Seen = true;
      return;
    }
    insert();
    FOpenSpans[key] = {sqlite3_last_insert_rowid(FDb), true};
  };
  if (refresh.Sessions) {
    for (const TSessionRow& row : refresh.SessionRows)
      touch(row.HostLine, row.SessionKey, [&] {
        TSqlStatement insert(FDb, "INSERT INTO session_spans(server, session_key, user, workstation, "
                               "licence, first_seen, last_seen) VALUES(?, ?, ?, ?, ?, ?, ?)");
        insert.Bind(1, ServerId(row.HostLine)).Bind(2, row.SessionKey).Bind(3, row.UserName);
        insert.Bind(4, row.Source).Bind(5, row.Licence).Bind(6, refresh.When);
        insert.Bind(7, refresh.When).Step();
      });
  } else {
    for (const TTaskRow& row : refresh.Tasks) {
      if (row.NoConnection) continue;
      touch(row.HostLine, std::to_string(row.RequestId), [&] {
        TSqlStatement insert(FDb, "INSERT INTO task_spans(server, request_id, user, method, "
                               "workstation, first_seen, last_seen) VALUES(?, ?, ?, ?, ?, ?, ?)");
        insert.Bind(1, ServerId(row.HostLine)).Bind(2, int64_t{row.RequestId});
        insert.Bind(3, row.UserName).Bind(4, row.RequestDesc).Bind(5, row.ClientDesc);
        insert.Bind(6, refresh.When).Bind(7, refresh.When).Step();
      });
    }
  }
  // Spans not seen in this refresh of their list have ended.
  std::map<std::string, std::string> stateOf;
  for (const THostRow& host : refresh.Hosts)
    stateOf[std::to_string(ServerId(host.Line))] = StateText(host.Status);
  const std::string answering(HostStateText(THostState::Answering));
  for (auto it = FOpenSpans.begin(); it != FOpenSpans.end();) {
    if (!it->first.starts_with(list) || it->second.Seen) {
      ++it;
      continue;
    }
    const std::string server = it->first.substr(2, it->first.find('|', 2) - 2);
    const bool cancelled = std::erase(FCancelledKeys, it->first) > 0;
    const std::string ended = cancelled ? "cancelled"
                              : stateOf[server] == answering ? "gone"
                                                             : "server lost";
    TSqlStatement end(FDb, refresh.Sessions ? "UPDATE session_spans SET ended = ? WHERE id = ?"
                                         : "UPDATE task_spans SET ended = ? WHERE id = ?");
    end.Bind(1, ended).Bind(2, it->second.Row).Step();
    it = FOpenSpans.erase(it);
  }
}

void TRecorder::RecordCancels(const std::vector<TCancel>& cancels) {
  for (const TCancel& cancel : cancels) {
    const TCancelTarget& target = cancel.Outcome.Target;
    const bool task = target.ParamName == "requestid";
    TSqlStatement insert(FDb, "INSERT INTO cancels VALUES(?, ?, ?, ?, ?)");
    insert.Bind(1, cancel.When).Bind(2, ServerId(target.HostLine));
    insert.Bind(3, std::string(task ? kTaskKind : kSessionKind)).Bind(4, target.ParamValue);
    insert.Bind(5, cancel.Outcome.Done() ? std::string("ok") : "falha: " + cancel.Outcome.Cause);
    insert.Step();
    if (cancel.Outcome.Done())
      FCancelledKeys.push_back(std::string(task ? "t|" : "s|") +
                               std::to_string(ServerId(target.HostLine)) + "|" + target.ParamValue);
  }
}

// Spans that ended, events and cancels older than the retention go, a batch
// of each with every refresh; open spans stay whatever their age.
void TRecorder::Prune(double now) {
  const double before = now - FRetentionDays;
  for (const char* sql :
       {"DELETE FROM task_spans WHERE id IN (SELECT id FROM task_spans WHERE ended IS NOT NULL "
        "AND last_seen < ?1 LIMIT ?2)",
        "DELETE FROM session_spans WHERE id IN (SELECT id FROM session_spans WHERE ended IS NOT "
        "NULL AND last_seen < ?1 LIMIT ?2)",
        "DELETE FROM server_events WHERE rowid IN (SELECT rowid FROM server_events WHERE at < ?1 "
        "LIMIT ?2)",
        "DELETE FROM cancels WHERE rowid IN (SELECT rowid FROM cancels WHERE at < ?1 LIMIT ?2)"}) {
    TSqlStatement prune(FDb, sql);
    prune.Bind(1, before).Bind(2, int64_t{kPruneBatch}).Step();
  }
}

}  // namespace quv
