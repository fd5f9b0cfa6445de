#include "app/FleetMetrics.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "app/FleetWatch.h"
#include "tests/app/FakeServers.h"
#include "tests/kit/TestScope.h"

namespace quv {
namespace {

THostStatus Status(THostState state, int32_t roundTripMs) {
  THostStatus status;
  status.State = state;
  status.RoundTripMs = roundTripMs;
  return status;
}

// A read of the task (or session) list as the view takes it: each host's
// status and counts.
TFleetRead Read(bool sessions, std::vector<THostStatus> statuses,
                std::vector<THostCounts> counts) {
  TFleetRead read;
  read.Sessions = sessions;
  read.Statuses = std::move(statuses);
  read.Counts = std::move(counts);
  return read;
}

// A server that answers, one that never did, and one whose label (Windows-1252)
// needs escaping; licences (one needing escaping too), refreshes of both
// lists, and the recorder's counts.
TEST(FleetMetrics, ExpositionOfASmallFleet) {
  TFleetView view({"A=10.0.0.1", "10.0.0.2", "Sala \"B\"\\\xE7=10.0.0.3"}, true);
  const THostStatus silent = Status(THostState::NoConnection, -1);
  TFleetMetrics metrics;
  ASSERT_TRUE(view.Take(Read(false,
                             {Status(THostState::Answering, 12), silent,
                              Status(THostState::Answering, 1500)},
                             {{.Tasks = 2, .OldestMs = 90500}, THostCounts{}, {.Tasks = 0, .OldestMs = 0}})));
  metrics.TakeRefresh(view, false, 30);
  TFleetRead sessions = Read(
      true, {Status(THostState::Answering, 8), silent, Status(THostState::Answering, 250)},
      {{.Sessions = 3}, THostCounts{}, {.Sessions = 1}});
  sessions.SessionView.Licences = {{"ERP01", 3}, {"F\xE1\"\n\\", 1}};
  ASSERT_TRUE(view.Take(std::move(sessions)));
  metrics.TakeRefresh(view, true, 2600);
  metrics.TakeRefresh(view, true, 12000);
  metrics.TakeRecorderCounts(7, 1);
  const std::string a = "server=\"A\",address=\"10.0.0.1\"";
  const std::string b = "server=\"10.0.0.2\",address=\"10.0.0.2\"";
  const std::string c = "server=\"Sala \\\"B\\\"\\\\\xC3\xA7\",address=\"10.0.0.3\"";
  const auto histogram = [](const std::string& list, const std::vector<int>& cumulative,
                            const std::string& sum, int count) {
    const char* bounds[] = {"0.01", "0.025", "0.05", "0.1", "0.25", "0.5", "1", "2.5", "5", "10"};
    std::string text;
    for (std::size_t i = 0; i < cumulative.size(); ++i)
      text += "quvtasks_refresh_duration_seconds_bucket{list=\"" + list + "\",le=\"" + bounds[i] +
              "\"} " + std::to_string(cumulative[i]) + "\n";
    return text + "quvtasks_refresh_duration_seconds_bucket{list=\"" + list + "\",le=\"+Inf\"} " +
           std::to_string(count) + "\nquvtasks_refresh_duration_seconds_sum{list=\"" + list +
           "\"} " + sum + "\nquvtasks_refresh_duration_seconds_count{list=\"" + list + "\"} " +
           std::to_string(count) + "\n";
  };
  EXPECT_EQ(
      metrics.Render(),
      "# HELP quvtasks_server_up Whether the server answered its last call (1) or not (0).\n"
      "# TYPE quvtasks_server_up gauge\n"
      "quvtasks_server_up{" + a + "} 1\n"
      "quvtasks_server_up{" + b + "} 0\n"
      "quvtasks_server_up{" + c + "} 1\n"
      "# HELP quvtasks_server_round_trip_seconds Probe and call of the server's last finished "
      "call.\n"
      "# TYPE quvtasks_server_round_trip_seconds gauge\n"
      "quvtasks_server_round_trip_seconds{" + a + "} 0.008\n"
      "quvtasks_server_round_trip_seconds{" + c + "} 0.25\n"
      "# HELP quvtasks_server_tasks Tasks running on the server.\n"
      "# TYPE quvtasks_server_tasks gauge\n"
      "quvtasks_server_tasks{" + a + "} 2\n"
      "quvtasks_server_tasks{" + c + "} 0\n"
      "# HELP quvtasks_server_oldest_task_age_seconds How long the server's longest-running "
      "task has run; 0 without tasks.\n"
      "# TYPE quvtasks_server_oldest_task_age_seconds gauge\n"
      "quvtasks_server_oldest_task_age_seconds{" + a + "} 90.5\n"
      "quvtasks_server_oldest_task_age_seconds{" + c + "} 0\n"
      "# HELP quvtasks_server_sessions Sessions open on the server.\n"
      "# TYPE quvtasks_server_sessions gauge\n"
      "quvtasks_server_sessions{" + a + "} 3\n"
      "quvtasks_server_sessions{" + c + "} 1\n"
      "# HELP quvtasks_licence_sessions Sessions in use per licence over the servers that "
      "answered.\n"
      "# TYPE quvtasks_licence_sessions gauge\n"
      "quvtasks_licence_sessions{licence=\"ERP01\"} 3\n"
      "quvtasks_licence_sessions{licence=\"F\xC3\xA1\\\"\\n\\\\\"} 1\n"
      "# HELP quvtasks_refresh_duration_seconds How long a refresh of the list took, from its "
      "calls to its rows.\n"
      "# TYPE quvtasks_refresh_duration_seconds histogram\n" +
          histogram("tasks", {0, 0, 1, 1, 1, 1, 1, 1, 1, 1}, "0.03", 1) +
          histogram("sessions", {0, 0, 0, 0, 0, 0, 0, 0, 1, 1}, "14.6", 2) +
          "# HELP quvtasks_recorder_written_refreshes_total Refreshes the recorder wrote to its "
          "file.\n"
          "# TYPE quvtasks_recorder_written_refreshes_total counter\n"
          "quvtasks_recorder_written_refreshes_total 7\n"
          "# HELP quvtasks_recorder_dropped_refreshes_total Refreshes the recorder dropped (its "
          "queue was full, or writing failed).\n"
          "# TYPE quvtasks_recorder_dropped_refreshes_total counter\n"
          "quvtasks_recorder_dropped_refreshes_total 1\n");
}

// Before any refresh only the empty histograms are there; a server that
// stops answering keeps its round trip but loses the counts it gave, which
// would read as live.
TEST(FleetMetrics, NothingUnknownIsWritten) {
  TFleetMetrics metrics;
  const std::string before = metrics.Render();
  EXPECT_EQ(before.find("quvtasks_server"), std::string::npos) << before;
  EXPECT_NE(before.find("quvtasks_refresh_duration_seconds_count{list=\"tasks\"} 0\n"),
            std::string::npos);
  EXPECT_EQ(before.find("recorder"), std::string::npos) << before;

  TFleetView view({"A=10.0.0.1"}, true);
  ASSERT_TRUE(view.Take(Read(false, {Status(THostState::Answering, 5)}, {{.Tasks = 4, .OldestMs = 1000}})));
  metrics.TakeRefresh(view, false, 0);
  EXPECT_NE(metrics.Render().find("quvtasks_server_tasks{server=\"A\",address=\"10.0.0.1\"} 4\n"),
            std::string::npos);
  ASSERT_TRUE(view.Take(Read(false, {Status(THostState::Error, 40)}, {THostCounts{}})));
  metrics.TakeRefresh(view, false, 0);
  const std::string after = metrics.Render();
  EXPECT_NE(after.find("quvtasks_server_up{server=\"A\",address=\"10.0.0.1\"} 0\n"),
            std::string::npos);
  EXPECT_NE(after.find("quvtasks_server_round_trip_seconds{server=\"A\",address=\"10.0.0.1\"} "
                       "0.04\n"),
            std::string::npos);
  EXPECT_EQ(after.find("quvtasks_server_tasks"), std::string::npos) << after;
  EXPECT_EQ(after.find("quvtasks_server_oldest"), std::string::npos) << after;
}

// The watch hands each refresh over while a scraper renders on another
// thread (the thread sanitizer checks the two).
TEST(FleetMetrics, TheWatchHandsOverEachRefresh) {
  testing::TestManualClock();  // the watch refreshes both lists once, then waits
  testing::TFakeServers servers;
  testing::TRow row = testing::Task("7", "app.run", "1500");
  for (const auto& [field, value] : testing::Session("k1", "ana", "ERP01")) row[field] = value;
  servers.SetRows("10.0.0.1", {row});
  THostConfig config;
  config.Hosts = {"A=10.0.0.1"};
  std::ostringstream log;
  TFleetMetrics metrics;
  TFleetWatch watch(config, servers, servers, log);
  watch.SetMetrics(&metrics);
  watch.Start();
  std::string text;
  while (text.find("quvtasks_refresh_duration_seconds_count{list=\"sessions\"} 1\n") ==
         std::string::npos)
    text = metrics.Render();
  watch.Stop();
  EXPECT_NE(text.find("quvtasks_server_up{server=\"A\",address=\"10.0.0.1\"} 1\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("quvtasks_server_tasks{server=\"A\",address=\"10.0.0.1\"} 1\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("quvtasks_server_oldest_task_age_seconds{server=\"A\",address=\"10.0.0.1\"} "
                      "1.5\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("quvtasks_licence_sessions{licence=\"ERP01\"} 1\n"), std::string::npos)
      << text;
}

}  // namespace
}  // namespace quv
