#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "app/FleetWatch.h"
#include "tests/app/FakeServers.h"
#include "tests/kit/TestScope.h"

namespace quv {
namespace {

// A row that reads as a task and as a session, so that both lists read it.
testing::TRow TaskAndSession() {
  testing::TRow row = testing::Task("7", "app.run", "1500");
  for (const auto& [field, value] : testing::Session("k1", "ana", "ERP01")) row[field] = value;
  return row;
}

// Waits (without a time limit of its own; the test's time-out is the bound)
// until the watch has done `count` refreshes.
void AwaitRefreshes(const TFleetWatch& watch, std::size_t count) {
  while (watch.RefreshCount() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Both lists at once, then the task list each time its interval has passed
// on the process clock; each change of a server's state is one line.
TEST(FleetWatch, RefreshesBothListsOnTheClockAndLogsEachChangeOfState) {
  TManualClock& clock = testing::TestManualClock();  // stands still until advanced
  testing::TFakeServers servers;
  servers.SetRows("10.0.0.1", {TaskAndSession()});
  servers.SetUnreachable("10.0.0.2");
  THostConfig config;
  config.Hosts = {"A=10.0.0.1", "B=10.0.0.2"};
  std::ostringstream log;
  TFleetWatch watch(config, servers, servers, log);
  watch.Start();
  AwaitRefreshes(watch, 2);  // tasks and sessions, both due at once
  servers.SetUnreachable("10.0.0.1");
  clock.Advance(999);  // not yet
  clock.Advance(1);
  AwaitRefreshes(watch, 3);
  watch.Stop();
  EXPECT_EQ(watch.RefreshCount(), 3u);
  EXPECT_EQ(log.str(),
            "quvtasks: A (10.0.0.1): respondendo\n"
            "quvtasks: B (10.0.0.2): sem conexão: unreachable\n"
            "quvtasks: A (10.0.0.1): sem conexão: unreachable\n");
}

}  // namespace
}  // namespace quv
