#include "app/MetricsServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/kit/LoopbackAddress.h"

namespace quv {
namespace {

std::string Parsed(std::string_view text) {
  TMetricsEndpoint endpoint;
  std::string problem;
  if (!ParseMetricsEndpoint(text, endpoint, problem)) return problem;
  return MetricsEndpointText(endpoint);
}

TEST(MetricsEndpoint, AddressAndPortOrThePortAlone) {
  EXPECT_EQ(Parsed("9300"), "127.0.0.1:9300");
  EXPECT_EQ(Parsed(":9300"), "127.0.0.1:9300");
  EXPECT_EQ(Parsed("0.0.0.0:0"), "0.0.0.0:0");
  EXPECT_EQ(Parsed("localhost:65535"), "localhost:65535");
  EXPECT_EQ(Parsed("[::1]:9300"), "[::1]:9300");
  EXPECT_EQ(Parsed(""), "the port must be a number from 0 to 65535, not \"\"");
  EXPECT_EQ(Parsed("10.0.0.5:"), "the port must be a number from 0 to 65535, not \"\"");
  EXPECT_EQ(Parsed("65536"), "the port must be a number from 0 to 65535, not \"65536\"");
  EXPECT_EQ(Parsed("10.0.0.5:+80"), "the port must be a number from 0 to 65535, not \"+80\"");
  EXPECT_EQ(Parsed("9300x"), "the port must be a number from 0 to 65535, not \"9300x\"");
  EXPECT_EQ(Parsed("00000000009300"),
            "the port must be a number from 0 to 65535, not \"00000000009300\"");
  EXPECT_EQ(Parsed("::1:9300"), "an IPv6 address goes in brackets: [ADDR]:PORT");
  EXPECT_EQ(Parsed("[::1]9300"), "an address in brackets is written [ADDR]:PORT, not \"[::1]9300\"");
  EXPECT_EQ(Parsed("[]:9300"), "an address in brackets is written [ADDR]:PORT, not \"[]:9300\"");
}

class MetricsServerTest : public ::testing::Test {
 protected:
  MetricsServerTest() {
    TFleetView view({"A=10.0.0.1"}, true);
    FMetrics.TakeRefresh(view, false, 40);
  }

  TFleetMetrics FMetrics;
};

TEST_F(MetricsServerTest, ServesTheExpositionAtSlashMetricsOnly) {
  TMetricsServer server(FMetrics, TMetricsEndpoint{"127.0.0.1", 0});
  ASSERT_NE(server.Endpoint().Port, 0);
  httplib::Client client("127.0.0.1", server.Endpoint().Port);
  const httplib::Result metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics) << httplib::to_string(metrics.error());
  EXPECT_EQ(metrics->status, 200);
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(metrics->body, FMetrics.Render());
  for (const char* path : {"/", "/metrics/x", "/favicon.ico"}) {
    const httplib::Result other = client.Get(path);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404) << path;
  }
}

// A port in use is an error that names the endpoint and the reason.
TEST_F(MetricsServerTest, AnEndpointInUseIsRefusedWithItsReason) {
  TMetricsServer first(FMetrics, TMetricsEndpoint{"127.0.0.1", 0});
  const TMetricsEndpoint taken{"127.0.0.1", first.Endpoint().Port};
  try {
    TMetricsServer second(FMetrics, taken);
    FAIL() << "two servers listen on " << MetricsEndpointText(taken);
  } catch (const EMetricsServerError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot listen on " + MetricsEndpointText(taken) + ": Address already in use");
  }
}

// A scraper that connects and sends nothing holds one serving thread until
// its time-out (longer than the test): other scrapers are served meanwhile
// and refreshes go on.
TEST_F(MetricsServerTest, ASilentScraperHoldsUpNoOneElse) {
  TMetricsServer server(FMetrics, TMetricsEndpoint{"127.0.0.1", 0},
                        TMetricsServer::TLimits{2, 600});
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = testing::LoopbackAddress(server.Endpoint().Port);
  ASSERT_EQ(::connect(silent, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  httplib::Client client("127.0.0.1", server.Endpoint().Port);
  for (int scrape = 0; scrape < 3; ++scrape) {
    TFleetView view({"A=10.0.0.1"}, true);
    FMetrics.TakeRefresh(view, true, 10);
    const httplib::Result reply = client.Get("/metrics");
    ASSERT_TRUE(reply) << httplib::to_string(reply.error());
    EXPECT_NE(reply->body.find("quvtasks_refresh_duration_seconds_count{list=\"sessions\"} " +
                               std::to_string(scrape + 1) + "\n"),
              std::string::npos)
        << reply->body;
  }
  ::close(silent);
  server.Stop();
}

}  // namespace
}  // namespace quv
