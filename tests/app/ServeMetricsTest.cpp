// quvtasks --serve --metrics: the option, a port it cannot have, and a real
// Prometheus server scraping the viewer while it watches a server with a
// running task.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/ViewerOptions.h"
#include "tests/kit/ChildProcess.h"
#include "tests/kit/LoopbackServer.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

TEST(ServeMetricsOptions, MetricsGoWithServe) {
  const TViewerOptions options = ParseViewerArguments({"--serve", "--metrics", ":9300"});
  EXPECT_EQ(options.Error, "");
  ASSERT_TRUE(options.Metrics.has_value());
  EXPECT_EQ(MetricsEndpointText(*options.Metrics), "127.0.0.1:9300");
  EXPECT_FALSE(ParseViewerArguments({"--serve"}).Metrics.has_value());
  EXPECT_EQ(ParseViewerArguments({"--metrics", "9300"}).Error, "--metrics needs --serve");
  EXPECT_EQ(ParseViewerArguments({"--once", "--metrics=9300"}).Error, "--metrics needs --serve");
  EXPECT_EQ(ParseViewerArguments({"--serve", "--metrics", "web"}).Error,
            "--metrics: the port must be a number from 0 to 65535, not \"web\"");
}

class ServeMetrics : public ::testing::Test {
 protected:
  // The settings of servers A (`address`) and B, where nothing listens.
  std::string Settings(const std::string& address) const {
    return FFolder.WriteFile("metrics.ini", "[Hosts]\nA=" + address + "\nB=127.0.0.1:1\n");
  }

  TTempFolder FFolder;
};

// A port another program listens on ends the viewer before it watches.
TEST_F(ServeMetrics, AnEndpointInUseEndsTheViewerWithItsReason) {
  testing::TServerProcess server;
  const testing::TProgramRun run = testing::RunProgram(
      FFolder.Path(), "DISPLAY= " + std::string(QUV_TASKS_BINARY) + " --serve --metrics " +
                          server.Address() + " --settings " + Settings(server.Address()));
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err, "quvtasks: cannot listen on " + server.Address() +
                         ": Address already in use\n");
}

// The port of "quvtasks: metrics on http://127.0.0.1:PORT/metrics" in the
// viewer's log; 0 when the viewer ended without one.
uint16_t MetricsPort(const std::string& logFile, testing::TChildProcess& viewer) {
  const std::string start = "quvtasks: metrics on http://127.0.0.1:";
  for (;;) {
    const std::string log = testing::FileBytes(logFile);
    if (const std::size_t at = log.find(start); at != std::string::npos)
      return static_cast<uint16_t>(std::stoi(log.substr(at + start.size())));
    if (!viewer.Running()) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The value of each series of an instant query, by its "server" label; empty
// while Prometheus does not answer or has no such series.
std::map<std::string, std::string> Query(httplib::Client& prometheus, const std::string& query) {
  std::map<std::string, std::string> values;
  const httplib::Result reply = prometheus.Get("/api/v1/query?query=" + query);
  if (!reply || reply->status != 200) return values;
  const nlohmann::json answer = nlohmann::json::parse(reply->body);
  for (const nlohmann::json& series : answer.at("data").at("result"))
    values[series.at("metric").at("server").get<std::string>()] =
        series.at("value").at(1).get<std::string>();
  return values;
}

// Prometheus scrapes the viewer every second; its query API gives each
// server's state and A's running task.
TEST_F(ServeMetrics, PrometheusScrapesTheViewer) {
  testing::TServerProcess server;
  testing::TChildProcess task({QUV_CALL_BINARY, "--intf", QUV_TEST_INTERFACE, "--host",
                               server.Address(), "--timeout", "120000", "quvtest.test.sleep",
                               "ms=100000"},
                              FFolder.Path() + "/call.log");
  const std::string viewerLog = FFolder.Path() + "/viewer.log";
  testing::TChildProcess viewer({QUV_TASKS_BINARY, "--serve", "--metrics", "127.0.0.1:0",
                                 "--settings", Settings(server.Address())},
                                viewerLog);
  const uint16_t metricsPort = MetricsPort(viewerLog, viewer);
  ASSERT_NE(metricsPort, 0) << testing::FileBytes(viewerLog);
  const std::string config = FFolder.WriteFile(
      "prometheus.yml",
      "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
      "scrape_configs:\n  - job_name: quvtasks\n    static_configs:\n"
      "      - targets: ['127.0.0.1:" + std::to_string(metricsPort) + "']\n");
  const uint16_t prometheusPort = testing::UnusedPort();
  testing::TChildProcess prometheus(
      {QUV_PROMETHEUS_BINARY, "--config.file=" + config,
       "--storage.tsdb.path=" + FFolder.Path() + "/data",
       "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
      FFolder.Path() + "/prometheus.log");
  httplib::Client client("127.0.0.1", prometheusPort);
  // Until Prometheus has scraped both servers and A's task (the test's
  // time-out bounds the wait).
  std::map<std::string, std::string> up, tasks;
  while (up.size() < 2 || tasks.find("A") == tasks.end() || tasks.at("A") != "1") {
    ASSERT_TRUE(prometheus.Running()) << testing::FileBytes(FFolder.Path() + "/prometheus.log");
    ASSERT_TRUE(viewer.Running()) << testing::FileBytes(viewerLog);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    up = Query(client, "quvtasks_server_up");
    tasks = Query(client, "quvtasks_server_tasks");
  }
  EXPECT_EQ(up, (std::map<std::string, std::string>{{"A", "1"}, {"B", "0"}}));
  EXPECT_EQ(tasks, (std::map<std::string, std::string>{{"A", "1"}}));
}

}  // namespace
}  // namespace quv
