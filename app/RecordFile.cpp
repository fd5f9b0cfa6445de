#include "app/RecordFile.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace quv {

namespace {

// What both versions share; version 1 had no other tables than these and
// the two span tables that the migration replaces.
const char* const kCommonTables = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS servers(
  id INTEGER PRIMARY KEY, label TEXT NOT NULL, address TEXT NOT NULL, UNIQUE(label, address));
CREATE TABLE IF NOT EXISTS server_events(
  server INTEGER NOT NULL REFERENCES servers(id), at REAL NOT NULL, state TEXT NOT NULL,
  cause TEXT);
CREATE TABLE IF NOT EXISTS cancels(
  at REAL NOT NULL, server INTEGER NOT NULL REFERENCES servers(id), kind TEXT NOT NULL,
  target TEXT NOT NULL, result TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS server_events_time ON server_events(at);
)sql";

// Version 2: spans keyed by the instant they were first seen (which orders
// them on disk, so no other index is needed), the keys of the long ones
// apart (see kShortSpanMs; they go with their span) with the instant their
// span was found ended (null while open), repeated texts interned, and views
// that show the spans as version 1 did, with date-times and texts.
const char* const kSpanTables = R"sql(
CREATE TABLE texts(id INTEGER PRIMARY KEY, text TEXT NOT NULL UNIQUE);
CREATE INDEX server_events_server ON server_events(server, at);
CREATE INDEX cancels_time ON cancels(at);
CREATE TABLE tasks(
  first_seen INTEGER NOT NULL, server INTEGER NOT NULL, request_id INTEGER NOT NULL,
  elapsed INTEGER NOT NULL, user INTEGER, method INTEGER, workstation INTEGER,
  flags INTEGER NOT NULL, seen INTEGER, gap INTEGER, ended INTEGER,
  PRIMARY KEY(first_seen, server, request_id)) WITHOUT ROWID;
CREATE TABLE sessions(
  first_seen INTEGER NOT NULL, server INTEGER NOT NULL, session_key TEXT NOT NULL,
  logon INTEGER, user INTEGER, workstation INTEGER, licence INTEGER, active INTEGER NOT NULL,
  seen INTEGER, gap INTEGER, ended INTEGER,
  PRIMARY KEY(first_seen, server, session_key)) WITHOUT ROWID;
CREATE TABLE long_tasks(
  first_seen INTEGER NOT NULL, server INTEGER NOT NULL, request_id INTEGER NOT NULL,
  until INTEGER, PRIMARY KEY(first_seen, server, request_id)) WITHOUT ROWID;
CREATE TABLE long_sessions(
  first_seen INTEGER NOT NULL, server INTEGER NOT NULL, session_key TEXT NOT NULL,
  until INTEGER, PRIMARY KEY(first_seen, server, session_key)) WITHOUT ROWID;
CREATE TRIGGER tasks_gone AFTER DELETE ON tasks BEGIN
  DELETE FROM long_tasks WHERE first_seen = old.first_seen AND server = old.server
    AND request_id = old.request_id;
END;
CREATE TRIGGER sessions_gone AFTER DELETE ON sessions BEGIN
  DELETE FROM long_sessions WHERE first_seen = old.first_seen AND server = old.server
    AND session_key = old.session_key;
END;
CREATE VIEW clock AS SELECT
  (SELECT CAST(value AS REAL) FROM meta WHERE key = 'epoch') AS epoch,
  (SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'task_refresh_ms') AS task_refresh,
  (SELECT CAST(value AS INTEGER) FROM meta WHERE key = 'session_refresh_ms') AS session_refresh;
CREATE VIEW task_spans AS SELECT
  s.label, s.address, t.request_id, u.text AS user, m.text AS method, w.text AS workstation,
  t.flags & 1 AS systemcmd, t.flags >> 1 & 1 AS cancelled,
  c.epoch + (t.first_seen - t.elapsed) / 86400000.0 AS started,
  c.epoch + t.first_seen / 86400000.0 AS first_seen,
  c.epoch + (t.first_seen + coalesce(t.seen, c.task_refresh - t.first_seen)) / 86400000.0
    AS last_seen,
  c.epoch + (t.first_seen + t.seen + t.gap) / 86400000.0 AS found_ended,
  CASE t.ended WHEN 1 THEN 'gone' WHEN 2 THEN 'cancelled' WHEN 3 THEN 'server lost'
    WHEN 4 THEN 'recording stopped' END AS ended
  FROM tasks t CROSS JOIN clock c JOIN servers s ON s.id = t.server
  LEFT JOIN texts u ON u.id = t.user LEFT JOIN texts m ON m.id = t.method
  LEFT JOIN texts w ON w.id = t.workstation;
CREATE VIEW session_spans AS SELECT
  s.label, s.address, t.session_key, u.text AS user, w.text AS workstation,
  l.text AS licence, c.epoch + t.logon / 86400000.0 AS logon, t.active,
  c.epoch + t.first_seen / 86400000.0 AS first_seen,
  c.epoch + (t.first_seen + coalesce(t.seen, c.session_refresh - t.first_seen)) / 86400000.0
    AS last_seen,
  c.epoch + (t.first_seen + t.seen + t.gap) / 86400000.0 AS found_ended,
  CASE t.ended WHEN 1 THEN 'gone' WHEN 2 THEN 'cancelled' WHEN 3 THEN 'server lost'
    WHEN 4 THEN 'recording stopped' END AS ended
  FROM sessions t CROSS JOIN clock c JOIN servers s ON s.id = t.server
  LEFT JOIN texts u ON u.id = t.user LEFT JOIN texts w ON w.id = t.workstation
  LEFT JOIN texts l ON l.id = t.licence;
)sql";

// Version 1 kept date-times and texts in its span tables (renamed v1_...
// here); what it left open was open when that recorder stopped.
const char* const kMigrateFromV1 = R"sql(
INSERT OR IGNORE INTO texts(text)
  SELECT user FROM v1_task_spans WHERE user IS NOT NULL
  UNION SELECT method FROM v1_task_spans WHERE method IS NOT NULL
  UNION SELECT workstation FROM v1_task_spans WHERE workstation IS NOT NULL
  UNION SELECT user FROM v1_session_spans WHERE user IS NOT NULL
  UNION SELECT workstation FROM v1_session_spans WHERE workstation IS NOT NULL
  UNION SELECT licence FROM v1_session_spans WHERE licence IS NOT NULL;
INSERT OR IGNORE INTO tasks SELECT
  CAST(round((first_seen - (SELECT epoch FROM clock)) * 86400000) AS INTEGER), server,
  request_id, 0,
  (SELECT id FROM texts WHERE text = user), (SELECT id FROM texts WHERE text = method),
  (SELECT id FROM texts WHERE text = workstation), 0,
  CAST(round((last_seen - first_seen) * 86400000) AS INTEGER), NULL,
  CASE ended WHEN 'gone' THEN 1 WHEN 'cancelled' THEN 2 WHEN 'server lost' THEN 3 ELSE 4 END
  FROM v1_task_spans;
INSERT OR IGNORE INTO sessions SELECT
  CAST(round((first_seen - (SELECT epoch FROM clock)) * 86400000) AS INTEGER), server,
  session_key, NULL,
  (SELECT id FROM texts WHERE text = user), (SELECT id FROM texts WHERE text = workstation),
  (SELECT id FROM texts WHERE text = licence), 0,
  CAST(round((last_seen - first_seen) * 86400000) AS INTEGER), NULL,
  CASE ended WHEN 'gone' THEN 1 WHEN 'cancelled' THEN 2 WHEN 'server lost' THEN 3 ELSE 4 END
  FROM v1_session_spans;
INSERT OR REPLACE INTO meta SELECT 'task_refresh_ms', coalesce(max(first_seen + seen), 0)
  FROM tasks;
INSERT OR REPLACE INTO meta SELECT 'session_refresh_ms', coalesce(max(first_seen + seen), 0)
  FROM sessions;

)sql";

bool HasTable(sqlite3* db, const char* name) {
  TSqlStatement select(db, "SELECT 1 FROM sqlite_master WHERE name = ?");
  return select.Bind(1, std::string(name)).Step();
}

// Runs `work` in one transaction, rolled back when it raises.
template <typename TWork>
void InTransaction(sqlite3* db, TWork work) {
  ExecuteSql(db, "BEGIN IMMEDIATE");
  try {
    work();
    ExecuteSql(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void MigrateFromV1(sqlite3* db) {
  InTransaction(db, [db] {
    std::optional<double> epoch;
    {
      TSqlStatement first(db,
                          "SELECT min(f) FROM (SELECT min(first_seen) AS f FROM task_spans "
                          "UNION ALL SELECT min(first_seen) FROM session_spans)");
      if (first.Step() && !first.IsNull(0)) epoch = std::floor(first.Real(0));
    }
    ExecuteSql(db,
               "DROP INDEX IF EXISTS task_spans_time; DROP INDEX IF EXISTS session_spans_time;"
               "ALTER TABLE task_spans RENAME TO v1_task_spans;"
               "ALTER TABLE session_spans RENAME TO v1_session_spans;");
    ExecuteSql(db, kSpanTables);
    if (epoch) {
      ExecuteSql(db, "INSERT INTO meta VALUES('epoch', '" + NumberText(*epoch) + "')");
      ExecuteSql(db, kMigrateFromV1);
      for (const char* sql :
           {"INSERT INTO long_tasks SELECT first_seen, server, request_id, first_seen + seen "
            "FROM tasks WHERE seen > ?",
            "INSERT INTO long_sessions SELECT first_seen, server, session_key, first_seen + seen "
            "FROM sessions WHERE seen > ?"}) {
        TSqlStatement mark(db, sql);
        mark.Bind(1, kShortSpanMs).Step();
      }
    }
    ExecuteSql(db,
               "DROP TABLE v1_task_spans; DROP TABLE v1_session_spans;"
               "UPDATE meta SET value = '2' WHERE key = 'schema_version'");
  });
}

// The schema version the file says it has; 0 for a file without one.
int SchemaVersion(sqlite3* db) {
  if (!HasTable(db, "meta")) return 0;
  TSqlStatement version(db, "SELECT value FROM meta WHERE key = 'schema_version'");
  if (!version.Step()) return 0;
  const std::string text = version.Text(0);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1)
    throw ERecorderError("a schema version that is no number (" + text + ")");
  return value;
}

}  // namespace

std::string NumberText(double value) {
  char buffer[32];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

std::string SpanEndText(TSpanEnd end) {
  switch (end) {
    case TSpanEnd::Open:
      return "";
    case TSpanEnd::Gone:
      return "gone";
    case TSpanEnd::Cancelled:
      return "cancelled";
    case TSpanEnd::ServerLost:
      return "server lost";
    case TSpanEnd::Stopped:
      return "recording stopped";
  }
  return "";
}

TRecordFile::TRecordFile(const std::string& fileName, bool write) {
  Open(fileName, write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY);
  try {
    Prepare(write);
    LoadEpoch();
  } catch (const std::exception& e) {
    sqlite3_close(FDb);
    throw ERecorderError(fileName + ": " + e.what());
  }
}

TRecordFile::~TRecordFile() { sqlite3_close(FDb); }

void TRecordFile::Open(const std::string& fileName, int flags) {
  if (sqlite3_open_v2(fileName.c_str(), &FDb, flags, nullptr) != SQLITE_OK) {
    const std::string reason = FDb ? sqlite3_errmsg(FDb) : "out of memory";
    sqlite3_close(FDb);
    FDb = nullptr;
    throw ERecorderError(fileName + ": " + reason);
  }
}

void TRecordFile::Prepare(bool write) {
  const int version = SchemaVersion(FDb);
  if (version > kSchemaVersion)
    throw ERecorderError("the file was written by a newer version (schema " +
                         std::to_string(version) + ", this one reads up to " +
                         std::to_string(kSchemaVersion) + ")");
  if (version == 0) {
    // A database of something else is no place for a record.
    TSqlStatement tables(FDb, "SELECT name FROM sqlite_master WHERE type = 'table'");
    if (tables.Step())
      throw ERecorderError("not a record file (it has tables of its own, such as " +
                           tables.Text(0) + ")");
    if (!write) throw ERecorderError("not a record file (no schema version)");
  }
  if (!write) {
    if (version == 1) ReadMigratedCopy();
    return;
  }
  ExecuteSql(FDb, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  if (version == 1) return MigrateFromV1(FDb);
  if (version == 0) {
    InTransaction(FDb, [this] {
      ExecuteSql(FDb, kCommonTables);
      ExecuteSql(FDb, kSpanTables);
      ExecuteSql(FDb, "INSERT INTO meta VALUES('schema_version', '" +
                          std::to_string(kSchemaVersion) + "')");
    });
  }
}

// Copies the file into memory and migrates the copy, which is then read.
void TRecordFile::ReadMigratedCopy() {
  sqlite3* copy = nullptr;
  if (sqlite3_open(":memory:", &copy) != SQLITE_OK) {
    sqlite3_close(copy);
    throw ERecorderError("out of memory");
  }
  sqlite3_backup* backup = sqlite3_backup_init(copy, "main", FDb, "main");
  const int result = backup ? sqlite3_backup_step(backup, -1) : SQLITE_ERROR;
  sqlite3_backup_finish(backup);
  if (result != SQLITE_DONE) {
    const std::string reason = sqlite3_errmsg(copy);
    sqlite3_close(copy);
    throw ERecorderError(reason);
  }
  sqlite3_close(FDb);
  FDb = copy;
  MigrateFromV1(FDb);
}

std::optional<std::string> TRecordFile::Meta(const std::string& key) const {
  TSqlStatement select(FDb, "SELECT value FROM meta WHERE key = ?");
  if (!select.Bind(1, key).Step()) return std::nullopt;
  return select.Text(0);
}

void TRecordFile::SetMeta(const std::string& key, const std::string& value) {
  TSqlStatement replace(FDb, "INSERT OR REPLACE INTO meta VALUES(?, ?)");
  replace.Bind(1, key).Bind(2, value).Step();
}

int64_t TRecordFile::MetaInteger(const std::string& key, int64_t otherwise) const {
  const auto text = Meta(key);
  int64_t value = otherwise;
  if (text) std::from_chars(text->data(), text->data() + text->size(), value);
  return value;
}

bool TRecordFile::LoadEpoch() {
  if (FEpoch) return true;
  const auto text = Meta("epoch");
  double epoch = 0;
  if (!text) return false;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), epoch);
  if (error != std::errc() || end != text->data() + text->size())
    throw ERecorderError("an epoch that is no date-time (" + *text + ")");
  FEpoch = epoch;
  return true;
}

void TRecordFile::EnsureEpoch(double when) {
  if (FEpoch) return;
  FEpoch = std::floor(when);
  SetMeta("epoch", NumberText(*FEpoch));
}

int64_t TRecordFile::ToMs(double when) const {
  // Far-off instants stay within what the queries can add to; one that is
  // no number is long before anything recorded.
  constexpr double kFarMs = 1e15;
  const double ms = (when - FEpoch.value_or(0)) * kMsPerDay;
  return std::llround(std::isnan(ms) ? -kFarMs : std::clamp(ms, -kFarMs, kFarMs));
}

double TRecordFile::ToDateTime(int64_t ms) const { return FEpoch.value_or(0) + ms / kMsPerDay; }

}  // namespace quv
