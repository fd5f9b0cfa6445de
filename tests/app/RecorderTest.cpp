#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/RecordReader.h"
#include "app/Recorder.h"
#include "platform/Cp1252.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

THostRow Host(const std::string& line, THostState state, const std::string& cause = "") {
  THostRow host;
  host.Line = line;
  host.Status.State = state;
  host.Status.Cause = cause;
  return host;
}

TTaskRow TaskOn(const std::string& line, int32_t id) {
  TTaskRow row;
  row.HostLine = line;
  row.RequestId = id;
  row.RequestDesc = "app.run";
  row.UserName = "ana";
  return row;
}

// Each row's host index, as the view sets it.
template <typename TRow>
void IndexHosts(const std::vector<THostRow>& hosts, std::vector<TRow>& rows) {
  for (TRow& row : rows)
    row.Host = std::find_if(hosts.begin(), hosts.end(),
                            [&row](const THostRow& host) { return host.Line == row.HostLine; }) -
               hosts.begin();
}

TRecordedRefresh Tasks(double when, std::vector<THostRow> hosts, std::vector<TTaskRow> tasks) {
  IndexHosts(hosts, tasks);
  TRecordedRefresh refresh;
  refresh.When = when;
  refresh.Hosts = std::move(hosts);
  refresh.Tasks = std::make_shared<const std::vector<TTaskRow>>(std::move(tasks));
  return refresh;
}

// The rows a query gives, each as its columns joined by "|".
std::vector<std::string> Query(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  std::vector<std::string> rows;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int count, char** values, char**) {
        std::string row;
        for (int i = 0; i < count; ++i)
          row += std::string(i ? "|" : "") + (values[i] ? values[i] : "");
        static_cast<std::vector<std::string>*>(out)->push_back(row);
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

class RecorderTest : public ::testing::Test {
 protected:
  TTempFolder FFolder;
  const std::string FFile = FFolder.Path() + "/record.db";
};

// Tasks are spans from first to last seen, ended as gone, lost with their
// server, or cancelled by us; servers' changes of state are events.
TEST_F(RecorderTest, TasksAreSpansAndServerChangesAreEvents) {
  const std::string a = "A=10.0.0.1", b = "B=10.0.0.2";
  {
    TRecorder recorder(FFile);
    const THostRow bDown = Host(b, THostState::NoConnection, "refused");
    ASSERT_TRUE(recorder.Submit(Tasks(1, {Host(a, THostState::Answering), bDown},
                                      {TaskOn(a, 7), TaskOn(a, 8), TaskOn(a, 9)})));
    TCancelOutcome cancelled;
    cancelled.Target = TaskCancelTarget(TaskOn(a, 9));
    recorder.SubmitCancel(1.5, cancelled);
    ASSERT_TRUE(recorder.Submit(Tasks(2, {Host(a, THostState::Answering), bDown}, {TaskOn(a, 7)})));
    ASSERT_TRUE(
        recorder.Submit(Tasks(3, {Host(a, THostState::NoConnection, "refused"), bDown}, {})));
  }  // what waits is written
  EXPECT_EQ(
      Query(FFile,
            "SELECT request_id, first_seen, last_seen, ended FROM task_spans "
            "ORDER BY request_id"),
      (std::vector<std::string>{"7|1.0|2.0|server lost", "8|1.0|1.0|gone", "9|1.0|1.0|cancelled"}));
  EXPECT_EQ(Query(FFile,
                  "SELECT label, at, state, cause FROM server_events JOIN servers "
                  "ON servers.id = server ORDER BY at, label"),
            (std::vector<std::string>{"A|1.0|respondendo|", "B|1.0|sem conexão|refused",
                                      "A|3.0|sem conexão|refused"}));
  EXPECT_EQ(Query(FFile, "SELECT at, kind, target, result FROM cancels"),
            (std::vector<std::string>{"1.5|tarefa|9|ok"}));
  EXPECT_EQ(Query(FFile, "PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
}

// What ended longer ago than the retention goes; what is still open stays.
TEST_F(RecorderTest, WhatEndedBeforeTheRetentionIsPruned) {
  const std::string a = "A=10.0.0.1";
  {
    TRecorder recorder(FFile, 8, 1.0);
    const THostRow up = Host(a, THostState::Answering);
    ASSERT_TRUE(recorder.Submit(Tasks(1, {up}, {TaskOn(a, 7), TaskOn(a, 8)})));
    ASSERT_TRUE(recorder.Submit(Tasks(2, {up}, {TaskOn(a, 8)})));
    ASSERT_TRUE(recorder.Submit(Tasks(3.5, {up}, {TaskOn(a, 8)})));
  }
  EXPECT_EQ(Query(FFile, "SELECT request_id, first_seen, ended FROM task_spans"),
            (std::vector<std::string>{"8|1.0|"}));
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM server_events"), (std::vector<std::string>{"0"}));
}

TEST_F(RecorderTest, AFullQueueDropsAndCounts) {
  TRecorder recorder(FFile, 0);
  EXPECT_FALSE(recorder.Submit(Tasks(1, {}, {})));
  EXPECT_EQ(recorder.Dropped(), 1u);
  EXPECT_EQ(recorder.Written(), 0u);
}

TEST_F(RecorderTest, NewerSchemasAndDamagedFilesAreRefused) {
  { TRecorder recorder(FFile); }
  Query(FFile, "UPDATE meta SET value = '99' WHERE key = 'schema_version'");
  try {
    TRecorder newer(FFile);
    FAIL() << "a newer schema was opened";
  } catch (const ERecorderError& e) {
    EXPECT_NE(std::string(e.what()).find("written by a newer version (schema 99"),
              std::string::npos)
        << e.what();
  }
  const std::string damaged = FFolder.Path() + "/damaged.db";
  std::ofstream(damaged) << std::string(4096, 'x');
  EXPECT_THROW(TRecorder{damaged}, ERecorderError);
  EXPECT_THROW(TRecorder{FFolder.Path() + "/no/such/folder/x.db"}, ERecorderError);
}

TSessionRow SessionOn(const std::string& line, const std::string& key, const std::string& licence) {
  TSessionRow row;
  row.HostLine = line;
  row.SessionKey = key;
  row.UserName = "ana";
  row.Licence = licence;
  return row;
}

// The reader gives back the lists as the view model read them at an instant:
// each server's state then, its rows with their elapsed time then, a
// silent server's row, and the licence counts.
TEST_F(RecorderTest, TheFleetAtAnInstantReadsAsARefreshDid) {
  const std::string a = "A=10.0.0.1", b = "B=10.0.0.2";
  const double second = 1.0 / 86400;
  {
    TRecorder recorder(FFile);
    const THostRow up = Host(a, THostState::Answering);
    ASSERT_TRUE(recorder.Submit(
        Tasks(1, {up, Host(b, THostState::Answering)}, {TaskOn(a, 7), TaskOn(b, 8)})));
    ASSERT_TRUE(recorder.Submit(
        Tasks(1 + 10 * second, {up, Host(b, THostState::Error, "boom")}, {TaskOn(a, 7)})));
    TRecordedRefresh sessions =
        Tasks(1 + 10 * second, {up, Host(b, THostState::Error, "boom")}, {});
    sessions.Sessions = true;
    sessions.SessionRows = {SessionOn(a, "k1", "ERP"), SessionOn(a, "k2", "erp"),
                            SessionOn(a, "k3", "BI")};
    IndexHosts(sessions.Hosts, sessions.SessionRows);
    ASSERT_TRUE(recorder.Submit(sessions));
  }
  const TRecordReader reader(FFile);
  EXPECT_EQ(reader.Hosts(), (std::vector<std::string>{a, b}));
  EXPECT_EQ(reader.Hosts("10.0.0.2"), (std::vector<std::string>{b}));
  TFleetView view(reader.Hosts(), false);
  ASSERT_TRUE(view.Take(reader.ReadAt(1, false, view)));
  ASSERT_EQ(view.Tasks().size(), 2u);
  EXPECT_EQ(view.Tasks()[0].RequestId, 7);
  EXPECT_EQ(view.Tasks()[0].ElapsedTime, 0);
  EXPECT_EQ(view.Tasks()[0].Fields.Fields()[2],
            (std::pair<std::string, std::string>{"requestdesc", "app.run"}));
  EXPECT_EQ(view.Tasks()[1].RequestId, 8);
  ASSERT_TRUE(view.Take(reader.ReadAt(1 + 10 * second, false, view)));
  ASSERT_EQ(view.Tasks().size(), 2u);
  EXPECT_EQ(view.Tasks()[0].ElapsedTime, 10000);
  EXPECT_TRUE(view.Tasks()[1].NoConnection);
  EXPECT_EQ(view.HostRows()[1].Status.State, THostState::Error);
  EXPECT_EQ(view.HostRows()[1].Status.Cause, "boom");
  ASSERT_TRUE(view.Take(reader.ReadAt(1 + 10 * second, true, view)));
  EXPECT_EQ(view.Sessions().Sessions.size(), 3u);
  ASSERT_EQ(view.Sessions().Licences.size(), 2u);
  EXPECT_EQ(view.Sessions().Licences[1].Count, 2);  // "ERP" and "erp" count as one licence
  EXPECT_EQ(reader.Period(), (std::pair<double, double>{1, 1 + 10 * second}));
}

TEST_F(RecorderTest, TheLongestTasksAndTheEventsOfAPeriod) {
  const std::string a = "A=10.0.0.1", b = "B=10.0.0.2";
  {
    TRecorder recorder(FFile);
    const THostRow up = Host(a, THostState::Answering), bUp = Host(b, THostState::Answering);
    ASSERT_TRUE(recorder.Submit(Tasks(1, {up, bUp}, {TaskOn(a, 7), TaskOn(b, 8)})));
    TCancelOutcome cancelled;
    cancelled.Target = TaskCancelTarget(TaskOn(b, 8));
    recorder.SubmitCancel(2.5, cancelled);
    ASSERT_TRUE(recorder.Submit(Tasks(3, {up, bUp}, {TaskOn(a, 7), TaskOn(b, 8), TaskOn(a, 9)})));
    ASSERT_TRUE(recorder.Submit(Tasks(5, {up, Host(b, THostState::NoConnection, "refused")},
                                      {TaskOn(a, 7), TaskOn(a, 9)})));
  }
  const TRecordReader reader(FFile);
  const std::vector<TRecordedTask> longest = reader.Longest(1, 2, 4);
  ASSERT_EQ(longest.size(), 1u);
  EXPECT_EQ(longest[0].RequestId, 7);
  EXPECT_EQ(longest[0].HostLine, a);
  EXPECT_EQ(longest[0].Seconds(), 4 * 86400);
  EXPECT_EQ(longest[0].Ended, "");
  EXPECT_EQ(reader.Longest(5, 2, 4).size(), 3u);
  EXPECT_EQ(reader.Longest(5, 3.5, 4).size(), 2u);  // 8 was last seen at 3
  EXPECT_EQ(reader.Longest(5, 0, 10, "b").size(), 1u);
  EXPECT_EQ(reader.Longest(5, 0, 10, "b")[0].Ended, "cancelled");
  const std::vector<TRecordedEvent> events = reader.Events(2, 10);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].What, "cancelamento");
  EXPECT_EQ(events[0].Detail, "tarefa 8: ok");
  EXPECT_EQ(events[1].HostLine, b);
  EXPECT_EQ(events[1].What, Utf8ToCp1252("sem conexão"));
  EXPECT_EQ(events[1].Detail, "refused");
}

// The bytes of the file's pages in use.
int64_t UsedBytes(const std::string& file) {
  return std::stoll(Query(file,
                          "SELECT (page_count - freelist_count) * page_size FROM "
                          "pragma_page_count, pragma_freelist_count, pragma_page_size")[0]);
}

TTaskRow Task(const std::string& line, int32_t id, int32_t elapsedMs) {
  TTaskRow row = TaskOn(line, id);
  row.ElapsedTime = elapsedMs;
  return row;
}

constexpr double kSecond = 1.0 / 86400;
// Named apart: clang 14 crashes on some code-page literals inside expressions.
constexpr std::string_view kUser = "João"_cp;
constexpr std::string_view kMethod = "relatório.mês"_cp;
constexpr std::string_view kStation = "estação-7"_cp;
constexpr std::string_view kSessionKey = "chave-é"_cp;
constexpr double kDay = 46000;  // a date-time at midnight

// Between two refreshes the reader shows what the earlier one listed, with
// elapsed times that go on from what the server told at first sight; the
// longest tasks count from their start, not from their first sight.
TEST_F(RecorderTest, BetweenRefreshesTheEarlierOneIsShownWithRunningTimes) {
  const std::string a = "A=10.0.0.1";
  const THostRow up = Host(a, THostState::Answering);
  {
    TRecorder recorder(FFile);
    // 7 had run an hour when first seen, 8 had just begun and runs longer.
    ASSERT_TRUE(recorder.Submit(Tasks(kDay, {up}, {Task(a, 7, 3600000), Task(a, 8, 0)})));
    ASSERT_TRUE(recorder.Submit(Tasks(kDay + 10 * kSecond, {up}, {Task(a, 8, 10000)})));
    ASSERT_TRUE(recorder.Submit(Tasks(kDay + 70 * kSecond, {up}, {Task(a, 8, 70000)})));
  }
  const TRecordReader reader(FFile);
  TFleetView view(reader.Hosts(), false);
  ASSERT_TRUE(view.Take(reader.ReadAt(kDay + 4 * kSecond, false, view)));
  ASSERT_EQ(view.Tasks().size(), 2u);  // 7 was gone only at the second refresh
  EXPECT_EQ(view.Tasks()[0].RequestId, 7);
  EXPECT_EQ(view.Tasks()[0].ElapsedTime, 3604000);
  EXPECT_EQ(view.Tasks()[1].ElapsedTime, 4000);
  ASSERT_TRUE(view.Take(reader.ReadAt(kDay + 10 * kSecond, false, view)));
  ASSERT_EQ(view.Tasks().size(), 1u);
  EXPECT_EQ(view.Tasks()[0].RequestId, 8);
  ASSERT_TRUE(view.Take(reader.ReadAt(kDay + 40 * kSecond, false, view)));
  ASSERT_EQ(view.Tasks().size(), 1u);
  EXPECT_EQ(view.Tasks()[0].ElapsedTime, 40000);
  // After the last refresh ("now" while a recorder runs) the last refresh is
  // what is known.
  EXPECT_EQ(reader.AnsweredInstant(kDay + 71 * kSecond, false), kDay + 70 * kSecond);
  EXPECT_EQ(reader.AnsweredInstant(kDay + 40 * kSecond, false), kDay + 40 * kSecond);
  ASSERT_TRUE(view.Take(reader.ReadAt(kDay + 71 * kSecond, false, view)));
  ASSERT_EQ(view.Tasks().size(), 1u);
  EXPECT_EQ(view.Tasks()[0].ElapsedTime, 70000);
  ASSERT_TRUE(view.Take(reader.ReadAt(kDay - kSecond, false, view)));
  ASSERT_EQ(view.Tasks().size(), 1u);  // before the first refresh no server answered yet
  EXPECT_TRUE(view.Tasks()[0].NoConnection);

  const std::vector<TRecordedTask> longest = reader.Longest(5, kDay, kDay + 1);
  ASSERT_EQ(longest.size(), 2u);
  EXPECT_EQ(longest[0].RequestId, 7);
  EXPECT_NEAR(longest[0].Seconds(), 3600, 0.01);
  EXPECT_EQ(longest[0].Ended, "gone");
  EXPECT_NEAR(longest[1].Seconds(), 70, 0.01);
  EXPECT_EQ(longest[1].Ended, "");
  EXPECT_EQ(reader.Longest(1, kDay + 20 * kSecond, kDay + 1)[0].RequestId, 8);
  EXPECT_EQ(reader.Longest(5, -1e300, 1e300).size(), 2u);  // all time, however it is written
  EXPECT_TRUE(reader.Longest(5, NAN, NAN).empty());
}

// Tasks that run for hours are found at any instant of their lives, whether
// they ended, are open, or were left open by a recorder that stopped; their
// marks as long go when they are pruned.
TEST_F(RecorderTest, TasksThatRunForHoursAreFoundAtAnyInstant) {
  const std::string a = "A=10.0.0.1";
  const THostRow up = Host(a, THostState::Answering);
  const double hour = 1.0 / 24;
  const auto listedAt = [this](double when) {
    const TRecordReader reader(FFile);
    TFleetView view(reader.Hosts(), false);
    EXPECT_TRUE(view.Take(reader.ReadAt(when, false, view)));
    std::vector<int32_t> ids;
    for (const TTaskRow& row : view.Tasks()) ids.push_back(row.RequestId);
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  {
    TRecorder recorder(FFile);
    ASSERT_TRUE(recorder.Submit(Tasks(kDay, {up}, {Task(a, 7, 0), Task(a, 9, 0)})));
    ASSERT_TRUE(recorder.Submit(Tasks(kDay + 1.5 * hour, {up}, {Task(a, 7, 0), Task(a, 9, 0)})));
    ASSERT_TRUE(recorder.Submit(Tasks(kDay + 2 * hour, {up}, {Task(a, 9, 0)})));
  }
  EXPECT_EQ(listedAt(kDay + 1.75 * hour), (std::vector<int32_t>{7, 9}));
  EXPECT_EQ(listedAt(kDay + 2 * hour), (std::vector<int32_t>{9}));
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM long_tasks"), (std::vector<std::string>{"2"}));
  { TRecorder again(FFile); }  // closes 9 as seen through the last refresh
  EXPECT_EQ(listedAt(kDay + 2 * hour), (std::vector<int32_t>{9}));
  // Later instants are answered with the last refresh, all the record knows.
  EXPECT_EQ(listedAt(kDay + 2.1 * hour), (std::vector<int32_t>{9}));
  EXPECT_EQ(Query(FFile, "SELECT request_id, ended FROM task_spans ORDER BY request_id"),
            (std::vector<std::string>{"7|gone", "9|recording stopped"}));
  {
    TRecorder pruning(FFile, 8, hour);
    ASSERT_TRUE(pruning.Submit(Tasks(kDay + 4 * hour, {up}, {})));
  }
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM tasks"), (std::vector<std::string>{"0"}));
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM long_tasks"), (std::vector<std::string>{"0"}));
}

// Texts keep their accents through the dictionary, each stored once, and
// read back in UTF-8 from the views; a task's marks and a session's logon
// and activity come back too.
TEST_F(RecorderTest, TextsWithAccentsAndTheOtherReplyFieldsComeBack) {
  const std::string a = "A=10.0.0.1";
  const THostRow up = Host(a, THostState::Answering);
  TTaskRow task = Task(a, 7, 500);
  task.UserName = kUser;
  task.RequestDesc = kMethod;
  task.ClientDesc = kStation;
  task.SystemCmd = true;
  TTaskRow other = task;
  other.RequestId = 8;
  other.SystemCmd = false;
  other.Cancelled = true;
  TSessionRow session = SessionOn(a, std::string(kSessionKey), "ERP");
  session.UserName = kUser;
  session.Source = kStation;
  session.LogonTime = kDay - 0.25;
  session.Active = true;
  {
    TRecorder recorder(FFile);
    ASSERT_TRUE(recorder.Submit(Tasks(kDay, {up}, {task, other})));
    TRecordedRefresh sessions = Tasks(kDay, {up}, {});
    sessions.Sessions = true;
    sessions.SessionRows = {session};
    IndexHosts(sessions.Hosts, sessions.SessionRows);
    ASSERT_TRUE(recorder.Submit(sessions));
  }
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM texts WHERE text = 'João'"),
            (std::vector<std::string>{"1"}));
  EXPECT_EQ(Query(FFile,
                  "SELECT user, method, workstation, systemcmd, cancelled FROM task_spans "
                  "ORDER BY request_id"),
            (std::vector<std::string>{"João|relatório.mês|estação-7|1|0",
                                      "João|relatório.mês|estação-7|0|1"}));
  const TRecordReader reader(FFile);
  TFleetView view(reader.Hosts(), false);
  ASSERT_TRUE(view.Take(reader.ReadAt(kDay, false, view)));
  ASSERT_EQ(view.Tasks().size(), 2u);
  const TTaskRow& first = view.Tasks()[0].RequestId == 7 ? view.Tasks()[0] : view.Tasks()[1];
  const TTaskRow& second = view.Tasks()[0].RequestId == 7 ? view.Tasks()[1] : view.Tasks()[0];
  EXPECT_EQ(first.UserName, kUser);
  EXPECT_EQ(first.RequestDesc, kMethod);
  EXPECT_EQ(first.ClientDesc, kStation);
  EXPECT_TRUE(first.SystemCmd);
  EXPECT_FALSE(first.Cancelled);
  EXPECT_FALSE(second.SystemCmd);
  EXPECT_TRUE(second.Cancelled);
  EXPECT_EQ(reader.Longest(1, kDay, kDay + 1)[0].UserName, kUser);
  ASSERT_TRUE(view.Take(reader.ReadAt(kDay, true, view)));
  ASSERT_EQ(view.Sessions().Sessions.size(), 1u);
  const TSessionRow& back = view.Sessions().Sessions[0];
  EXPECT_EQ(back.SessionKey, kSessionKey);
  EXPECT_EQ(back.UserName, kUser);
  EXPECT_EQ(back.Source, kStation);
  EXPECT_NEAR(back.LogonTime, kDay - 0.25, kSecond / 1000);
  EXPECT_TRUE(back.Active);
}

// Past the size limit the oldest spans that ended go, a batch with each
// refresh, so that the pages in use stay near the limit; open spans stay.
TEST_F(RecorderTest, PastTheSizeLimitTheOldestEndedSpansGo) {
  constexpr int64_t kLimit = 256 * 1024;
  const std::string a = "A=10.0.0.1";
  const THostRow up = Host(a, THostState::Answering);
  {
    TRecorder recorder(FFile, 1000, TRecorder::kDefaultRetentionDays, kLimit);
    std::vector<TTaskRow> rows;
    for (int32_t refresh = 0; refresh < 60; ++refresh) {
      // 300 tasks each refresh, gone by the next; task 1 runs throughout.
      rows = {Task(a, 1, 0)};
      for (int32_t i = 0; i < 300; ++i) rows.push_back(Task(a, 1000 + refresh * 300 + i, 0));
      ASSERT_TRUE(recorder.Submit(Tasks(kDay + refresh * kSecond, {up}, rows)));
    }
  }
  EXPECT_LE(UsedBytes(FFile), kLimit * 11 / 10);
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM task_spans WHERE request_id < 1300"),
            (std::vector<std::string>{"1"}));  // only the open one of the first refresh
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM task_spans WHERE request_id >= 1000 + 59 * 300"),
            (std::vector<std::string>{"300"}));
}

// While the recorder runs, its write-ahead log is copied back into the file
// and begun again, so that weeks of watching do not grow it without end.
TEST_F(RecorderTest, TheWriteAheadLogStaysBoundedWhileRecording) {
  const std::string a = "A=10.0.0.1";
  const THostRow up = Host(a, THostState::Answering);
  constexpr int32_t kRefreshes = 600;
  TRecorder recorder(FFile, kRefreshes);
  for (int32_t refresh = 0; refresh < kRefreshes; ++refresh) {
    // 200 tasks each refresh, gone by the next, each with a text of its own.
    std::vector<TTaskRow> rows;
    for (int32_t i = 0; i < 200; ++i) {
      rows.push_back(Task(a, refresh * 200 + i, 0));
      rows.back().ClientDesc = "10.0.0.9:" + std::to_string(refresh * 200 + i);
    }
    ASSERT_TRUE(recorder.Submit(Tasks(kDay + refresh * kSecond, {up}, rows)));
  }
  while (recorder.Written() < kRefreshes) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // SQLite copies the log back every 1000 pages (4 MB); never copied, it passes 40 MB.
  EXPECT_LT(std::filesystem::file_size(FFile + "-wal"), 8u << 20);
  EXPECT_GT(std::filesystem::file_size(FFile), 1u << 20);
}

// A recorder that stopped without ending its spans (a viewer killed) leaves
// them open; the next one closes them as seen through the last refresh.
TEST_F(RecorderTest, SpansLeftOpenAreClosedWhenTheFileIsOpenedAgain) {
  const std::string a = "A=10.0.0.1";
  const THostRow up = Host(a, THostState::Answering);
  {
    TRecorder recorder(FFile);
    ASSERT_TRUE(recorder.Submit(Tasks(kDay, {up}, {Task(a, 7, 0)})));
    ASSERT_TRUE(recorder.Submit(Tasks(kDay + kSecond, {up}, {Task(a, 7, 1000)})));
  }
  EXPECT_EQ(Query(FFile, "SELECT ended FROM task_spans"), (std::vector<std::string>{""}));
  { TRecorder again(FFile); }
  EXPECT_EQ(Query(FFile, "SELECT ended, round((last_seen - first_seen) * 86400) FROM task_spans"),
            (std::vector<std::string>{"recording stopped|1.0"}));
}

// The first version's tables, as its files have them.
const char* const kVersion1 = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE servers(
  id INTEGER PRIMARY KEY, label TEXT NOT NULL, address TEXT NOT NULL, UNIQUE(label, address));
CREATE TABLE server_events(
  server INTEGER NOT NULL REFERENCES servers(id), at REAL NOT NULL, state TEXT NOT NULL,
  cause TEXT);
CREATE TABLE task_spans(
  id INTEGER PRIMARY KEY, server INTEGER NOT NULL REFERENCES servers(id),
  request_id INTEGER NOT NULL, user TEXT, method TEXT, workstation TEXT,
  first_seen REAL NOT NULL, last_seen REAL NOT NULL, ended TEXT);
CREATE TABLE session_spans(
  id INTEGER PRIMARY KEY, server INTEGER NOT NULL REFERENCES servers(id),
  session_key TEXT NOT NULL, user TEXT, workstation TEXT, licence TEXT,
  first_seen REAL NOT NULL, last_seen REAL NOT NULL, ended TEXT);
CREATE TABLE cancels(
  at REAL NOT NULL, server INTEGER NOT NULL REFERENCES servers(id), kind TEXT NOT NULL,
  target TEXT NOT NULL, result TEXT NOT NULL);
CREATE INDEX task_spans_time ON task_spans(first_seen, last_seen);
CREATE INDEX session_spans_time ON session_spans(first_seen, last_seen);
CREATE INDEX server_events_time ON server_events(at);
INSERT INTO meta VALUES('schema_version', '1');
INSERT INTO servers VALUES(1, 'A', '10.0.0.1');
INSERT INTO server_events VALUES(1, 46000.5, 'respondendo', '');
INSERT INTO task_spans VALUES(1, 1, 7, 'João', 'app.run', 'pc1', 46000.5, 46000.75, 'gone');
INSERT INTO task_spans VALUES(2, 1, 8, 'ana', 'app.run', 'pc2', 46000.5, 46000.5, NULL);
INSERT INTO session_spans VALUES(1, 1, 'k1', 'ana', 'pc2', 'ERP', 46000.5, 46000.6, 'gone');
INSERT INTO cancels VALUES(46000.6, 1, 'tarefa', '7', 'ok');
)sql";

// A first-version file is read as it stands, without a change, and is
// brought to the current version in one go by a recorder that opens it.
TEST_F(RecorderTest, AFirstVersionFileIsReadAndMigrated) {
  Query(FFile, kVersion1);
  {
    const TRecordReader reader(FFile);
    EXPECT_EQ(reader.Hosts(), (std::vector<std::string>{"A=10.0.0.1"}));
    TFleetView view(reader.Hosts(), false);
    ASSERT_TRUE(view.Take(reader.ReadAt(46000.6, false, view)));
    ASSERT_EQ(view.Tasks().size(), 1u);
    EXPECT_EQ(view.Tasks()[0].UserName, kUser);
    const std::vector<TRecordedTask> longest = reader.Longest(5, 46000, 46001);
    ASSERT_EQ(longest.size(), 2u);
    EXPECT_NEAR(longest[0].Seconds(), 6 * 3600, 0.01);
    EXPECT_EQ(longest[1].Ended, "recording stopped");
    ASSERT_TRUE(view.Take(reader.ReadAt(46000.55, true, view)));
    EXPECT_EQ(view.Sessions().Sessions.size(), 1u);
    EXPECT_EQ(reader.Events(46000, 46001).size(), 2u);
  }
  EXPECT_EQ(Query(FFile, "SELECT value FROM meta WHERE key = 'schema_version'"),
            (std::vector<std::string>{"1"}));
  { TRecorder recorder(FFile); }
  EXPECT_EQ(Query(FFile, "SELECT value FROM meta WHERE key = 'schema_version'"),
            (std::vector<std::string>{"2"}));
  EXPECT_EQ(Query(FFile,
                  "SELECT request_id, user, round((last_seen - first_seen) * 24), ended "
                  "FROM task_spans ORDER BY request_id"),
            (std::vector<std::string>{"7|João|6.0|gone", "8|ana|0.0|recording stopped"}));
  EXPECT_EQ(Query(FFile, "SELECT session_key, licence, ended FROM session_spans"),
            (std::vector<std::string>{"k1|ERP|gone"}));
  EXPECT_EQ(Query(FFile, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'v1_%'"),
            (std::vector<std::string>{"0"}));
  const TRecordReader reader(FFile);
  EXPECT_EQ(reader.Longest(5, 46000, 46001).size(), 2u);
}

// A record file is input like any other: values another program wrote into
// its tables (extreme numbers, texts where numbers go, dangling text ids,
// bytes that are no UTF-8, an epoch that is no number) give answers or the
// recorder's error, never a crash or an overflow, to readers and writers.
TEST_F(RecorderTest, HostileValuesInARecordGiveAnswersOrTheError) {
  const std::string a = "A=10.0.0.1";
  const THostRow up = Host(a, THostState::Answering);
  const auto record = [&] {
    std::filesystem::remove(FFile);
    TRecorder recorder(FFile);
    ASSERT_TRUE(recorder.Submit(Tasks(kDay, {up}, {TaskOn(a, 7), TaskOn(a, 8)})));
    TRecordedRefresh sessions = Tasks(kDay, {up}, {});
    sessions.Sessions = true;
    sessions.SessionRows = {SessionOn(a, "k1", "ERP")};
    IndexHosts(sessions.Hosts, sessions.SessionRows);
    ASSERT_TRUE(recorder.Submit(sessions));
    ASSERT_TRUE(recorder.Submit(Tasks(kDay + kSecond, {Host(a, THostState::Error, "x")}, {})));
  };
  const auto readEverything = [this] {
    const TRecordReader reader(FFile);
    const auto [first, last] = reader.Period();
    TFleetView view(reader.Hosts(), false);
    for (const double when : {first, last, kDay, kDay + kSecond / 2, 1e300, -1e300, double(NAN)})
      for (const bool sessions : {false, true}) {
        (void)view.Take(reader.ReadAt(when, sessions, view));
        (void)reader.AnsweredInstant(when, sessions);
      }
    for (const TRecordedTask& task : reader.Longest(10, -1e300, 1e300)) (void)task.Seconds();
    (void)reader.Events(-1e300, 1e300);
  };
  const std::string kMax = "9223372036854775807", kMin = "(-9223372036854775807 - 1)";
  for (const std::string& edit : std::vector<std::string>{
           "UPDATE tasks SET elapsed = " + kMax,
           "UPDATE tasks SET elapsed = " + kMax + ", first_seen = " + kMin,
           "UPDATE tasks SET elapsed = " + kMin + ", seen = " + kMax + ", gap = " + kMax,
           "UPDATE tasks SET first_seen = " + kMax + ", ended = " + kMin,
           "UPDATE tasks SET user = 99999, method = 'x', workstation = -1, flags = " + kMax,
           "UPDATE sessions SET logon = 1e308, active = 'sim', licence = 99999",
           "UPDATE sessions SET logon = " + kMin + ", first_seen = " + kMin,
           "UPDATE texts SET text = CAST(X'FF00FE' AS TEXT)",
           "UPDATE meta SET value = 'nan' WHERE key = 'epoch'",
           "UPDATE meta SET value = '1e308' WHERE key = 'epoch'",
           "UPDATE meta SET value = 'x' WHERE key = 'epoch'",
           "UPDATE meta SET value = 'x' WHERE key = 'task_refresh_ms'",
           "UPDATE meta SET value = '" + kMax + "' WHERE key = 'session_refresh_ms'",
           "UPDATE server_events SET at = 'x', state = 'nenhum'",
           "UPDATE server_events SET at = 1e308, server = 99999",
           "UPDATE servers SET label = '', address = ''",
           "INSERT INTO long_tasks VALUES (" + kMin + ", 1, 7, " + kMax + ")",
       }) {
    SCOPED_TRACE(edit);
    record();
    Query(FFile, edit);
    try {
      readEverything();
    } catch (const ERecorderError&) {
    }
    try {  // and a recorder goes on writing into it
      TRecorder again(FFile);
      EXPECT_TRUE(again.Submit(Tasks(kDay + 2 * kSecond, {up}, {TaskOn(a, 7)})));
    } catch (const ERecorderError&) {
    }
  }
}

TEST_F(RecorderTest, WhatIsNoRecordIsNeitherReadNorWritten) {
  EXPECT_THROW(TRecordReader{FFolder.Path() + "/missing.db"}, ERecorderError);
  const std::string other = FFolder.Path() + "/other.db";
  Query(other, "CREATE TABLE t(x)");
  EXPECT_THROW(TRecordReader{other}, ERecorderError);
  EXPECT_THROW(TRecorder{other}, ERecorderError);  // nor is it written into
  EXPECT_EQ(Query(other, "SELECT count(*) FROM sqlite_master"), (std::vector<std::string>{"1"}));
  EXPECT_EQ(Query(other, "PRAGMA journal_mode"), (std::vector<std::string>{"delete"}));
  { TRecorder recorder(FFile); }
  Query(FFile, "UPDATE meta SET value = '99' WHERE key = 'schema_version'");
  EXPECT_THROW(TRecordReader{FFile}, ERecorderError);
  Query(FFile, "UPDATE meta SET value = 'x' WHERE key = 'schema_version'");
  EXPECT_THROW(TRecordReader{FFile}, ERecorderError);
  EXPECT_THROW(TRecorder{FFile}, ERecorderError);
}

}  // namespace
}  // namespace quv
