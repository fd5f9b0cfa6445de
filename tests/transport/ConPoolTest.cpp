#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/FaultConn.h"
#include "tests/kit/LoopbackServer.h"
#include "tests/kit/TestScope.h"
#include "transport/quvAddress.h"
#include "transport/quvClientConn.h"
#include "transport/quvConPool.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TLoopbackServer;
using testing::UnusedPort;

TEST(ServerAddress, NumericHostsAndPortsAreRecognised) {
  EXPECT_TRUE(IsNumericAddress("10.0.0.5"));
  EXPECT_TRUE(IsNumericAddress("999.1.1.1"));  // the connect refuses it later
  EXPECT_FALSE(IsNumericAddress("10.0.0"));
  EXPECT_FALSE(IsNumericAddress("10.0.0.5.1"));
  EXPECT_FALSE(IsNumericAddress("10.0.0.a"));
  EXPECT_FALSE(IsNumericAddress("localhost"));
  const auto split = [](std::string_view address) {
    const THostPort parts = SplitHostPort(address);
    return parts.Host + " " + std::to_string(parts.Port);
  };
  EXPECT_EQ(split("srv"), "srv 6015");
  EXPECT_EQ(split("10.0.0.5:7000"), "10.0.0.5 7000");
  EXPECT_EQ(split("10.0.0.5:abc"), "10.0.0.5 0");
  EXPECT_EQ(split("10.0.0.5:70000"), "10.0.0.5 0");
  EXPECT_EQ(split("host:6015:7"), "host 0");
}

class ConnectionPool : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FServer.Listening()); }

  std::vector<TConnectionItem*> AcquireMany(const std::string& address, int count) {
    std::vector<TConnectionItem*> items;
    for (int i = 0; i < count; ++i) items.push_back(FPool.Acquire(address, false));
    return items;
  }

  TLoopbackServer FServer;
  TConnectionPool FPool;
};

TEST_F(ConnectionPool, ReusesAnIdleItemOnlyForTheExactAddressText) {
  TConnectionItem* first = FPool.Acquire(FServer.Address(), false);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->Socket().Socket().Connected());
  EXPECT_EQ(first->Socket().Address(), "127.0.0.1");
  FPool.Release(first);
  EXPECT_EQ(FPool.Acquire(FServer.Address(), false), first);

  const std::string byName = "localhost:" + std::to_string(FServer.Port());
  TConnectionItem* named = FPool.Acquire(byName, false);
  EXPECT_NE(named, first);
  EXPECT_EQ(named->Socket().Host(), "localhost");
  EXPECT_TRUE(FServer.WaitForConnections(2));
  EXPECT_EQ(FPool.ItemCount(), 2);
  EXPECT_EQ(FPool.AddressCount(byName), 1);
  FPool.Release(first);
  FPool.Release(named);
  EXPECT_EQ(FPool.ItemCount(), 2);
}

TEST_F(ConnectionPool, BeyondTheIdleLimitAReleasedItemIsClosedWithTheCloseSignature) {
  std::vector<TConnectionItem*> items = AcquireMany(FServer.Address(), 5);
  ASSERT_TRUE(FServer.WaitForConnections(5));
  FPool.Release(items[4]);
  EXPECT_EQ(FPool.ItemCount(), 4);
  EXPECT_EQ(FServer.WaitForReceived(4, 4), "QUVC");
  EXPECT_TRUE(FServer.WaitForClientClose(4));

  FPool.Release(items[3]);  // four items: it stays, idle
  EXPECT_EQ(FPool.ItemCount(), 4);
  EXPECT_EQ(FPool.AddressCount(FServer.Address()), 4);
  EXPECT_EQ(FPool.Acquire(FServer.Address(), false), items[3]);
}

TEST_F(ConnectionPool, ExclusiveItemsAreNeverSharedAndCloseOnRelease) {
  TConnectionItem* exclusive = FPool.Acquire(FServer.Address(), true);
  ASSERT_TRUE(FServer.WaitForConnections(1));
  TConnectionItem* shared = FPool.Acquire(FServer.Address(), false);
  EXPECT_NE(shared, exclusive);
  FPool.Release(shared);
  EXPECT_NE(FPool.Acquire(FServer.Address(), true), shared);  // an exclusive one is always new
  EXPECT_EQ(FPool.ItemCount(), 3);

  FPool.Release(exclusive);
  EXPECT_EQ(FPool.ItemCount(), 2);
  EXPECT_EQ(FServer.WaitForReceived(0, 4), "QUVC");
}

TEST_F(ConnectionPool, AFailedFirstConnectRemovesTheItemAndPassesTheErrorOn) {
  const std::string refused = "127.0.0.1:" + std::to_string(UnusedPort());
  for (int attempt = 0; attempt < 6; ++attempt)
    EXPECT_EQ(MessageOf([&] { FPool.Acquire(refused, false); }),
              "Erro de socket: Connection refused (111), na API 'connect'");
  EXPECT_EQ(FPool.ItemCount(), 0);
  EXPECT_EQ(FPool.AddressCount(refused), 0);

  const std::string unreadablePort = "127.0.0.1:abc";  // port 0, refused as well
  EXPECT_THROW(FPool.Acquire(unreadablePort, false), ESocketError);
  EXPECT_EQ(FPool.ItemCount(), 0);
}

TEST(ConnectionPoolReuse, AnIdleItemThatCannotReconnectIsRemovedOnReuse) {
  TConnectionPool pool;
  auto server = std::make_unique<TLoopbackServer>();
  const std::string address = server->Address();
  TConnectionItem* item = pool.Acquire(address, false);
  pool.Release(item);
  item->Socket().Close();  // as a reset whose reopen failed leaves it
  server.reset();
  EXPECT_THROW(pool.Acquire(address, false), ESocketError);
  EXPECT_EQ(pool.ItemCount(), 0);
}

// An interrupted call ends at once as a lost connection, not as a wait that
// ran out; the item cannot be reopened and is not kept once released.
TEST_F(ConnectionPool, InterruptEndsTheWaitOfAnItemInUseAndTheItemIsDropped) {
  TConnectionItem* waiting = FPool.Acquire(FServer.Address(), false);
  TConnectionItem* idle = FPool.Acquire(FServer.Address(), false);
  FPool.Release(idle);
  TClientWinSocket& socket = waiting->Socket().Socket();
  socket.SetTimeout(30000);
  int32_t received = 0;
  std::thread reader([&] {
    char byte;
    received = socket.ReceiveBuf(&byte, 1);  // the server never sends
  });
  FPool.InterruptInUse();
  reader.join();
  EXPECT_EQ(received, kConnGone);
  EXPECT_FALSE(idle->Socket().Socket().Interrupted());
  waiting->Reset();
  EXPECT_FALSE(socket.Connected());
  FPool.Release(waiting);
  EXPECT_EQ(FPool.ItemCount(), 1);
  EXPECT_EQ(FPool.Acquire(FServer.Address(), false), idle);
}

TEST_F(ConnectionPool, AClosedPoolGivesNothing) {
  FPool.SetClosed(true);
  EXPECT_EQ(FPool.Acquire(FServer.Address(), false), nullptr);
  EXPECT_EQ(FPool.ItemCount(), 0);
}

TEST_F(ConnectionPool, AnItemIsHeldByOneThreadAtATime) {
  std::mutex lock;
  std::set<TConnectionItem*> inUse;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int round = 0; round < 25; ++round) {
        TConnectionItem* item = FPool.Acquire(FServer.Address(), false);
        {
          std::lock_guard<std::mutex> guard(lock);
          EXPECT_TRUE(inUse.insert(item).second);
        }
        EXPECT_EQ(item->Socket().Socket().SendBuf("a", 1), 1);
        {
          std::lock_guard<std::mutex> guard(lock);
          inUse.erase(item);
        }
        FPool.Release(item);
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(FPool.ItemCount(), 4);
}

// Three servers, one pooled connection each, under a cap of two idle items.
TEST(ConnectionPoolCap, BeyondTheIdleCapTheLeastRecentlyReleasedItemIsClosed) {
  TLoopbackServer a, b, c;
  TConnectionPool pool(kDefaultIdleLimit, 2);
  TConnectionItem* fromA = pool.Acquire(a.Address(), false);
  TConnectionItem* fromB = pool.Acquire(b.Address(), false);
  TConnectionItem* fromC = pool.Acquire(c.Address(), false);
  pool.Release(fromA);
  pool.Release(fromB);
  EXPECT_EQ(pool.IdleCount(), 2);
  pool.Release(fromC);  // the third idle item closes the first released
  EXPECT_EQ(pool.IdleCount(), 2);
  EXPECT_EQ(pool.ItemCount(), 2);
  EXPECT_EQ(a.WaitForReceived(0, 4), "QUVC");
  EXPECT_TRUE(a.WaitForClientClose(0));
  EXPECT_EQ(pool.AddressCount(a.Address()), 0);

  // Reusing B makes it the most recent: the next item to go is C's.
  EXPECT_EQ(pool.Acquire(b.Address(), false), fromB);
  pool.Release(fromB);
  pool.Release(pool.Acquire(a.Address(), false));
  EXPECT_EQ(c.WaitForReceived(0, 4), "QUVC");
  EXPECT_TRUE(c.WaitForClientClose(0));
  EXPECT_EQ(pool.Acquire(b.Address(), false), fromB);
  EXPECT_EQ(pool.AddressCount(c.Address()), 0);
  EXPECT_EQ(pool.ItemCount(), 2);
  pool.Release(fromB);
}

TEST(ConnectionPoolCap, ItemsInUseAreNeverClosedAndALowerCapClosesIdleOnesAtOnce) {
  TLoopbackServer server;
  TConnectionPool pool(kDefaultIdleLimit, 1);
  TConnectionItem* first = pool.Acquire(server.Address(), false);
  TConnectionItem* second = pool.Acquire(server.Address(), false);
  TConnectionItem* third = pool.Acquire(server.Address(), false);
  ASSERT_TRUE(server.WaitForConnections(3));
  pool.Release(first);
  pool.Release(second);  // the cap of one closes the first
  EXPECT_EQ(pool.ItemCount(), 2);
  EXPECT_EQ(pool.IdleCount(), 1);
  EXPECT_EQ(server.WaitForReceived(0, 4), "QUVC");
  EXPECT_TRUE(third->Socket().Socket().Connected());

  pool.SetIdleCap(0);
  EXPECT_EQ(pool.IdleCount(), 0);
  EXPECT_EQ(pool.ItemCount(), 1);
  EXPECT_EQ(server.WaitForReceived(1, 4), "QUVC");
  EXPECT_EQ(third->Socket().Socket().SendBuf("a", 1), 1);
  pool.Release(third);
  EXPECT_EQ(pool.ItemCount(), 0);
}

TEST(ConnectionPoolCap, TheCapIsAQuarterOfTheOpenFileLimit) {
  EXPECT_EQ(IdleCapForOpenFiles(1024), 256);
  EXPECT_EQ(IdleCapForOpenFiles(20000), 5000);
  EXPECT_EQ(IdleCapForOpenFiles(2), 1);
  EXPECT_EQ(IdleCapForOpenFiles(UINT64_MAX), kNoIdleCap);
}

// Moves the manual clock and waits until the checker has swept at the new tick.
class CheckerClock {
 public:
  void AdvanceAndAwaitPass(uint32_t ms) {
    FClock.Advance(ms);
    const auto deadline = std::chrono::steady_clock::now() + testing::kLoopbackPatience;
    while (ConnectionChecker()->LastPass() != FClock.TickCount()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the checker made no pass";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void Advance(uint32_t ms) { FClock.Advance(ms); }

 private:
  TManualClock& FClock = testing::TestManualClock();
};

TEST_F(ConnectionPool, CheckerClosesItemsIdleForMoreThanTenSeconds) {
  CheckerClock clock;
  TConnectionItem* survivor = FPool.Acquire(FServer.Address(), false);
  TConnectionItem* doomed = FPool.Acquire(FServer.Address(), false);
  ASSERT_TRUE(FServer.WaitForConnections(2));
  clock.AdvanceAndAwaitPass(kCheckerPeriodMs);  // the checker's last pass is now

  FPool.Release(doomed);
  clock.AdvanceAndAwaitPass(11000);
  EXPECT_EQ(FPool.ItemCount(), 1);
  EXPECT_EQ(FServer.WaitForReceived(1, 4), "QUVC");

  FPool.Release(survivor);
  clock.AdvanceAndAwaitPass(9000);
  EXPECT_EQ(FPool.ItemCount(), 1);
  clock.Advance(2000);
  clock.AdvanceAndAwaitPass(kCheckerPeriodMs);
  EXPECT_EQ(FPool.ItemCount(), 0);
  EXPECT_EQ(FServer.WaitForReceived(0, 4), "QUVC");
}

class ClientConnection : public ConnectionPool {
 protected:
  void TearDown() override {
    InstallConnFunctions();
    ConnFunctions().SetEnabled(true);
  }
};

TEST_F(ClientConnection, BorrowsFromTheDefaultPoolAndGivesBackOnDestruction) {
  InstallConnFunctions();
  TConnHandle borrowed;
  {
    TClientConn conn(FServer.Address(), false);
    borrowed = conn.Handle();
    EXPECT_EQ(conn.SetTimeout(5000), 0);
    EXPECT_EQ(conn.Write("QUV1", 4), 4);
    EXPECT_EQ(FServer.WaitForReceived(0, 4), "QUV1");
    FServer.Send(0, "R");
    char byte;
    EXPECT_EQ(conn.Read(&byte, 1), 1);
    EXPECT_EQ(conn.SetTimeout(20), 5000);
    EXPECT_EQ(conn.Read(&byte, 1), kConnNothingWithinWait);
  }
  TClientConn again(FServer.Address(), false);
  EXPECT_EQ(again.Handle(), borrowed);
  again.Close();
  EXPECT_EQ(again.Read(nullptr, 1), kConnGone);
  EXPECT_EQ(again.Write("x", 1), kConnGone);
}

TEST_F(ClientConnection, ResetReopensADroppedConnection) {
  TClientConn conn(FServer.Address(), true);
  conn.SetTimeout(5000);
  ASSERT_TRUE(FServer.WaitForConnections(1));
  FServer.Disconnect(0);
  char byte;
  EXPECT_EQ(conn.Read(&byte, 1), kConnGone);
  conn.ResetConnection(5000);
  ASSERT_TRUE(FServer.WaitForConnections(2));
  EXPECT_EQ(conn.Write("ok", 2), 2);
  EXPECT_EQ(FServer.WaitForReceived(1, 2), "ok");
}

TEST_F(ClientConnection, DisabledAccessAndFailedConnectsReachTheCaller) {
  InstallConnFunctions();
  ConnFunctions().SetEnabled(false);
  EXPECT_EQ(MessageOf([&] { TClientConn conn(FServer.Address(), false); }),
            "O acesso ao servidor está desabilitado"_cp);
  ConnFunctions().SetEnabled(true);
  const std::string refused = "127.0.0.1:" + std::to_string(UnusedPort());
  EXPECT_EQ(MessageOf([&] { TClientConn conn(refused, false); }),
            "Erro de socket: Connection refused (111), na API 'connect'");
  EXPECT_EQ(DefaultPool().AddressCount(refused), 0);
}

TEST_F(ClientConnection, FaultWrapperFailsTheChosenOperationOnly) {
  TClientConn conn(FServer.Address(), true);
  testing::TFaultConn faulty(conn);
  faulty.FailWrite(2, testing::TFault::Gone);
  EXPECT_EQ(faulty.Write("a", 1), 1);
  EXPECT_EQ(faulty.Write("b", 1), kConnGone);
  EXPECT_EQ(faulty.Write("c", 1), kConnGone);  // gone until the connection is reset
  EXPECT_EQ(FServer.WaitForReceived(0, 1), "a");
  faulty.FailRead(1, testing::TFault::Raise);
  faulty.FailWrite(1, testing::TFault::Raise);
  EXPECT_THROW(faulty.Read(nullptr, 1), Exception);
  EXPECT_THROW(faulty.Write("d", 1), Exception);
}

}  // namespace
}  // namespace quv
