#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>

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

TRecordedRefresh Tasks(double when, std::vector<THostRow> hosts, std::vector<TTaskRow> tasks) {
  TRecordedRefresh refresh;
  refresh.When = when;
  refresh.Hosts = std::move(hosts);
  refresh.Tasks = std::move(tasks);
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
        for (int i = 0; i < count; ++i) row += std::string(i ? "|" : "") + (values[i] ? values[i] : "");
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
    ASSERT_TRUE(recorder.Submit(
        Tasks(3, {Host(a, THostState::NoConnection, "refused"), bDown}, {})));
  }  // what waits is written
  EXPECT_EQ(Query(FFile, "SELECT request_id, first_seen, last_seen, ended FROM task_spans "
                         "ORDER BY request_id"),
            (std::vector<std::string>{"7|1.0|2.0|server lost", "8|1.0|1.0|gone",
                                      "9|1.0|1.0|cancelled"}));
  EXPECT_EQ(Query(FFile, "SELECT label, at, state, cause FROM server_events JOIN servers "
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
    ASSERT_TRUE(recorder.Submit(Tasks(1, {up, Host(b, THostState::Answering)},
                                      {TaskOn(a, 7), TaskOn(b, 8)})));
    ASSERT_TRUE(recorder.Submit(Tasks(1 + 10 * second, {up, Host(b, THostState::Error, "boom")},
                                      {TaskOn(a, 7)})));
    TRecordedRefresh sessions = Tasks(1 + 10 * second, {up, Host(b, THostState::Error, "boom")}, {});
    sessions.Sessions = true;
    sessions.SessionRows = {SessionOn(a, "k1", "ERP"), SessionOn(a, "k2", "erp"),
                            SessionOn(a, "k3", "BI")};
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
  EXPECT_EQ(view.Tasks()[0].Fields.Fields()[2], (std::pair<std::string, std::string>{"requestdesc", "app.run"}));
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

TEST_F(RecorderTest, TheReaderRefusesWhatIsNoRecord) {
  EXPECT_THROW(TRecordReader{FFolder.Path() + "/missing.db"}, ERecorderError);
  const std::string other = FFolder.Path() + "/other.db";
  Query(other, "CREATE TABLE t(x)");
  EXPECT_THROW(TRecordReader{other}, ERecorderError);
  { TRecorder recorder(FFile); }
  Query(FFile, "UPDATE meta SET value = '99' WHERE key = 'schema_version'");
  EXPECT_THROW(TRecordReader{FFile}, ERecorderError);
}

}  // namespace
}  // namespace quv
