#include <gtest/gtest.h>

#include <thread>

#include "app/FleetView.h"
#include "app/RefreshT.h"
#include "platform/Sync.h"
#include "tests/app/FakeServers.h"
#include "tests/kit/LoopbackServer.h"
#include "tests/kit/TestScope.h"

namespace quv {
namespace {

using testing::Task;

TWorkerPool& Workers() {
  static TWorkerPool workers(TRefreshT::kMaxConcurrentHosts - 1);
  return workers;
}

// Starts a refresh of `hosts` over `table`; `delivered` is set when it is
// delivered (the worker keeps the event, since it goes on afterwards).
std::unique_ptr<TRefreshT> StartRefresh(testing::TFakeServers& servers, THostCallTable& table,
                                        const std::vector<std::string>& hosts,
                                        std::shared_ptr<TEvent> delivered) {
  auto worker = std::make_unique<TRefreshT>(servers, servers, Workers(), table);
  worker->SetMethodName("quvsystem.tasks.list");
  for (const auto& host : hosts) worker->AddIP(host);
  worker->SetOnDone([delivered](TRefreshT&) { delivered->SetEvent(); });
  worker->Start();
  return worker;
}

// Starts a refresh of `hosts` over `table` and returns once it is delivered.
std::unique_ptr<TRefreshT> DeliveredRefresh(testing::TFakeServers& servers, THostCallTable& table,
                                            const std::vector<std::string>& hosts) {
  const auto delivered = std::make_shared<TEvent>();
  auto worker = StartRefresh(servers, table, hosts, delivered);
  delivered->WaitFor(TEvent::kInfinite);
  return worker;
}

// Runs a refresh to its end and returns the worker for its results. The
// clock stands still meanwhile, so the deadline never cuts a slow host short
// on a busy machine.
std::unique_ptr<TRefreshT> RunRefresh(testing::TFakeServers& servers,
                                      const std::vector<std::string>& hosts) {
  testing::TestManualClock();  // stands still
  static THostCallTable table(1000);
  auto worker = DeliveredRefresh(servers, table, hosts);
  worker->WaitFor();
  return worker;
}

// The fleet's view of refreshes: live tasks first and the silent hosts folded
// after them, each host's counts, and counts kept through a reply that could
// not be read.
TEST(FleetView, FoldsSilentHostsAndCountsEachHostsTasks) {
  testing::TFakeServers servers;
  servers.SetRows("10.9.0.1", {Task("1", "a", "7000"), Task("2", "b", "500")});
  servers.SetRows("10.9.0.2", {});
  servers.SetUnreachable("10.9.0.3");
  const std::vector<std::string> hosts = {"A=10.9.0.1", "B=10.9.0.2", "C=10.9.0.3", "D=10.9.0.4"};
  TFleetView view(hosts, true);
  ASSERT_TRUE(view.TakeRefresh(*RunRefresh(servers, hosts)));
  ASSERT_EQ(view.Tasks().size(), 3u);
  EXPECT_EQ(view.Tasks()[0].RequestId, 1);
  EXPECT_EQ(view.Tasks()[2].FoldedHosts, 2u);
  const auto& rows = view.HostRows();
  EXPECT_EQ(rows[0].Counts.Tasks, 2);
  EXPECT_EQ(rows[0].Counts.OldestMs, 7000);
  EXPECT_EQ(rows[1].Counts.Tasks, 0);
  EXPECT_EQ(rows[2].Status.State, THostState::NoConnection);
  EXPECT_EQ(rows[2].Counts.Tasks, -1);  // never told
  EXPECT_EQ(rows[3].Status.State, THostState::Error);

  testing::TRow broken = Task("3", "c", "1");
  broken.erase("username");
  servers.SetRows("10.9.0.1", {broken});
  EXPECT_FALSE(view.TakeRefresh(*RunRefresh(servers, hosts)));
  EXPECT_NE(view.ReadError(), "");
  EXPECT_EQ(view.HostRows()[0].Counts.Tasks, 2);
}

// A refresh told to stop while a host's call hangs cuts that call off, so
// that its owner is not held by it. Should the cut not come, a watchdog
// releases the call after a while and the count of interrupts tells.
TEST(RefreshT, StoppedRefreshInterruptsTheCallsStillRunning) {
  testing::TestManualClock();  // stands still
  testing::TFakeServers servers;
  servers.SetRows("10.0.0.1", {Task("1", "m", "1")});
  servers.HoldCalls("10.0.0.1");
  THostCallTable table(1);
  const auto delivered = std::make_shared<TEvent>();
  auto worker = StartRefresh(servers, table, {"A=10.0.0.1"}, delivered);
  while (servers.CallsStarted() < 1) std::this_thread::yield();
  TEvent stopped;
  std::thread watchdog([&] {
    if (!stopped.WaitFor(10000)) servers.ReleaseCalls();
  });
  worker->TerminateAndWait();
  stopped.SetEvent();
  watchdog.join();
  EXPECT_GE(servers.Interrupts(), 1);
  EXPECT_EQ(servers.CallsFinished(), 1);
  EXPECT_TRUE(delivered->WaitFor(0));
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
    const THostStatus& status = worker->HostStatus(i);
    if (i % 9 == 0) {
      EXPECT_EQ(status.State, THostState::NoConnection) << i;
      EXPECT_EQ(status.Cause, "unreachable");
    } else if (i % 3 == 0) {
      EXPECT_EQ(status.State, THostState::Answering) << i;
      EXPECT_EQ(status.Cause, "");
    } else {
      EXPECT_EQ(status.State, THostState::Error) << i;
      EXPECT_EQ(status.Cause, "Erro chamando quvsystem.tasks.list:no server");
    }
    EXPECT_GE(status.RoundTripMs, 0);
  }
  EXPECT_EQ(worker->TakeResult(3), nullptr);  // taken replies are gone
  EXPECT_EQ(worker->TakeResult(999), nullptr);
}

// A host whose call hangs: the refresh is delivered at its deadline with the
// other hosts' replies, the hung call goes on, and later refreshes leave
// that host alone until its call has ended.
TEST(RefreshT, DeliversAtTheDeadlineWhileAHostHangs) {
  TManualClock& clock = testing::TestManualClock();
  clock.SetNow(46000.5);
  testing::TFakeServers servers;
  servers.SetRows("10.0.0.1", {Task("1", "m", "1")});
  servers.SetRows("10.0.0.2", {Task("2", "m", "1")});
  servers.HoldCalls("10.0.0.1");
  struct TReleaseOnExit {
    testing::TFakeServers& Servers;
    ~TReleaseOnExit() { Servers.ReleaseCalls(); }
  } releaseOnExit{servers};
  THostCallTable table(2);
  const std::vector<std::string> hosts{"A=10.0.0.1", "B=10.0.0.2"};

  const auto done = std::make_shared<TEvent>();
  auto worker = StartRefresh(servers, table, hosts, done);
  while (servers.CallsFinished() < 1) std::this_thread::yield();
  EXPECT_FALSE(done->WaitFor(50));  // B has answered, A holds the refresh
  clock.Advance(2 * 500 + 500);     // twice the call time-out plus the probe's
  ASSERT_TRUE(done->WaitFor(TEvent::kInfinite));
  EXPECT_EQ(worker->TakeResult(0), nullptr);
  EXPECT_EQ(worker->HostStatus(0).State, THostState::StillWaiting);
  EXPECT_EQ(worker->HostStatus(0).Cause, StillWaitingText());
  ASSERT_NE(worker->TakeResult(1), nullptr);
  EXPECT_EQ(worker->HostStatus(1).State, THostState::Answering);
  EXPECT_EQ(worker->HostStatus(1).LastGood, 46000.5);
  EXPECT_FALSE(worker->Finished());  // A's call goes on

  const auto next = DeliveredRefresh(servers, table, hosts);
  EXPECT_EQ(next->HostStatus(0).State, THostState::StillWaiting);
  EXPECT_NE(next->TakeResult(1), nullptr);
  next->WaitFor();
  int probesOfA = 0;
  for (const auto& address : servers.Probes()) probesOfA += address == "10.0.0.1";
  EXPECT_EQ(probesOfA, 1);  // not called again while its call runs

  servers.ReleaseCalls();
  worker->WaitFor();
  EXPECT_EQ(table.Status(0).State, THostState::Answering);  // the late reply counts for health
  const auto after = DeliveredRefresh(servers, table, hosts);
  EXPECT_NE(after->TakeResult(0), nullptr);
  after->WaitFor();
}

// With one thread for three hosts, each host waits for the one before: the
// deadline is that of three hosts one after the other.
TEST(RefreshT, HostsBeyondTheThreadsExtendTheDeadlineByAWaveEach) {
  TManualClock& clock = testing::TestManualClock();
  testing::TFakeServers servers;
  for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"})
    servers.SetRows(address, {Task("1", "m", "1")});
  servers.HoldCalls("10.0.0.1");
  struct TReleaseOnExit {
    testing::TFakeServers& Servers;
    ~TReleaseOnExit() { Servers.ReleaseCalls(); }
  } releaseOnExit{servers};
  TWorkerPool callerOnly(0);
  THostCallTable table(3);
  auto worker = std::make_unique<TRefreshT>(servers, servers, callerOnly, table);
  worker->SetMethodName("quvsystem.tasks.list");
  for (const char* host : {"A=10.0.0.1", "B=10.0.0.2", "C=10.0.0.3"}) worker->AddIP(host);
  const auto done = std::make_shared<TEvent>();
  worker->SetOnDone([done](TRefreshT&) { done->SetEvent(); });
  worker->Start();
  while (servers.Probes().empty()) std::this_thread::yield();

  // One wave's time at a go, until delivered: a slow start of the wait can
  // only add waves.
  int waves = 0;
  do {
    clock.Advance(2 * 500 + 500);
    ++waves;
  } while (!done->WaitFor(50));
  EXPECT_GE(waves, 3);
  EXPECT_EQ(worker->HostStatus(0).State, THostState::StillWaiting);
  EXPECT_EQ(worker->HostStatus(2).State, THostState::StillWaiting);
  servers.ReleaseCalls();
  worker->WaitFor();
}

TEST(HostCallTable, AFailureKeepsTheTimeOfTheLastReply) {
  THostCallTable table(1);
  EXPECT_EQ(table.Status(0).State, THostState::StillWaiting);
  ASSERT_TRUE(table.TryBegin(0));
  EXPECT_FALSE(table.TryBegin(0));
  EXPECT_EQ(table.Status(0).Cause, StillWaitingText());
  table.End(0, THostStatus{THostState::Answering, "", 12, 46000.25});
  ASSERT_TRUE(table.TryBegin(0));
  table.End(0, THostStatus{THostState::Error, "Erro chamando x:recusado", 3, 0});
  const THostStatus status = table.Status(0);
  EXPECT_EQ(status.State, THostState::Error);
  EXPECT_EQ(status.Cause, "Erro chamando x:recusado");
  EXPECT_EQ(status.RoundTripMs, 3);
  EXPECT_EQ(status.LastGood, 46000.25);
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

TEST(TcpProbe, ConnectsToThePortTheAddressNames) {
  TTcpProbe probe;
  const testing::TLoopbackServer listener;
  EXPECT_NO_THROW(probe.Probe(listener.Address()));
  EXPECT_THROW(probe.Probe("127.0.0.1:" + std::to_string(testing::UnusedPort())), Exception);
  EXPECT_THROW(probe.Probe("127.0.0.1:abc"), Exception);  // port 0
}

}  // namespace
}  // namespace quv
