#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/RefreshT.h"
#include "platform/Sync.h"
#include "tests/app/FakeServers.h"

namespace quv {
namespace {

using testing::Task;

// Runs a refresh to its end and returns the worker for its results.
std::unique_ptr<TRefreshT> RunRefresh(testing::TFakeServers& servers,
                                      const std::vector<std::string>& hosts) {
  static TWorkerPool workers(TRefreshT::kMaxConcurrentHosts - 1);
  auto worker = std::make_unique<TRefreshT>(servers, servers, workers);
  worker->SetMethodName("quvsystem.tasks.list");
  for (const auto& host : hosts) worker->AddIP(host);
  TEvent done;
  worker->SetOnDone([&done](TRefreshT&) { done.SetEvent(); });
  worker->Start();
  done.WaitFor(TEvent::kInfinite);
  worker->WaitFor();
  return worker;
}

TEST(RefreshT, KeepsRepliesInHostOrderAndSwallowsFailures) {
  testing::TFakeServers servers;
  std::vector<std::string> hosts;
  for (int i = 0; i < 70; ++i) {
    const std::string address = "10.0.0." + std::to_string(i);
    hosts.push_back("h" + std::to_string(i) + "=" + address);
    if (i % 3 == 0) servers.SetRows(address, {Task(std::to_string(i), "m", "1")});
    if (i % 9 == 0) servers.SetUnreachable(address);
  }
  const auto worker = RunRefresh(servers, hosts);
  EXPECT_EQ(worker->ErrorText(), "");
  EXPECT_EQ(servers.Prepared(), 1);
  for (int i = 0; i < 70; ++i) {
    auto reply = worker->TakeResult(i);
    ASSERT_EQ(reply != nullptr, i % 3 == 0 && i % 9 != 0) << i;
    if (reply) {
      EXPECT_EQ(reply->FieldText("requestid"), std::to_string(i));
    }
  }
  EXPECT_EQ(worker->TakeResult(3), nullptr);  // taken replies are gone
  EXPECT_EQ(worker->TakeResult(999), nullptr);
}

TEST(RefreshT, ProbesTheHostOnly) {
  testing::TFakeServers servers;
  servers.SetRows("10.0.0.5:7000", {Task("1", "m", "1")});
  const auto worker = RunRefresh(servers, {"A=10.0.0.5:7000"});
  EXPECT_EQ(servers.Probes(), std::vector<std::string>{"10.0.0.5:7000"});
  ASSERT_EQ(servers.Calls().size(), 1u);
  EXPECT_EQ(servers.Calls()[0].Host, "10.0.0.5:7000");
  EXPECT_EQ(servers.Calls()[0].Method, "quvsystem.tasks.list");
  EXPECT_NE(worker->TakeResult(0), nullptr);
}

TEST(HostPort, ExplicitPortOrTheDefault) {
  EXPECT_EQ(SplitHostPort("srv").Port, 6015);
  EXPECT_EQ(SplitHostPort("srv").Host, "srv");
  EXPECT_EQ(SplitHostPort("10.0.0.5:7000").Port, 7000);
  EXPECT_EQ(SplitHostPort("10.0.0.5:7000").Host, "10.0.0.5");
  EXPECT_EQ(SplitHostPort("10.0.0.5:abc").Port, 0);
  EXPECT_EQ(SplitHostPort("10.0.0.5:70000").Port, 0);
}

// A loopback listener on a free port.
class TListener final {
 public:
  TListener() : FFd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(FFd, 4);
    socklen_t length = sizeof address;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
  }
  ~TListener() { ::close(FFd); }
  int Port() const { return FPort; }

 private:
  int FFd;
  int FPort = 0;
};

TEST(TcpProbe, ConnectsToThePortTheAddressNames) {
  TTcpProbe probe;
  int closedPort;
  {
    TListener listener;
    EXPECT_NO_THROW(probe.Probe("127.0.0.1:" + std::to_string(listener.Port())));
    closedPort = listener.Port();
  }
  EXPECT_THROW(probe.Probe("127.0.0.1:" + std::to_string(closedPort)), Exception);
  EXPECT_THROW(probe.Probe("127.0.0.1:abc"), Exception);  // port 0
}

}  // namespace
}  // namespace quv
