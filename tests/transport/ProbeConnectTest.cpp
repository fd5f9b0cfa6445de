#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/LoopbackAddress.h"
#include "tests/kit/LoopbackServer.h"
#include "transport/quvScktComp.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TLoopbackServer;
using testing::UnusedPort;

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  DIR* folder = ::opendir("/proc/self/fd");
  while (::readdir(folder) != nullptr) ++count;
  ::closedir(folder);
  return count;
}

// A listener that never accepts: a probe's connection waits in its queue and
// adds no descriptor to this process.
TEST(ProbeConnect, ReachesTheServerAndLeavesNoDescriptorBehind) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = testing::LoopbackAddress();
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const std::size_t before = OpenDescriptors();
  EXPECT_NO_THROW(
      ProbeConnect(ServerTarget("127.0.0.1:" + std::to_string(ntohs(address.sin_port))), 500));
  EXPECT_EQ(MessageOf([] { ProbeConnect(ServerTarget("127.0.0.1:abc"), 500); }),
            "Erro de socket: Connection refused (111), na API 'connect'");
  EXPECT_EQ(OpenDescriptors(), before);
  ::close(listener);
}

TEST(ProbeConnect, FailsAsAClientSocketFails) {
  TLoopbackServer server;
  const std::string refused = "127.0.0.1:" + std::to_string(UnusedPort());
  EXPECT_EQ(MessageOf([&] { ProbeConnect(ServerTarget(refused), 500); }),
            "Erro de socket: Connection refused (111), na API 'connect'");
  // Any address stands for this host on Linux; the probe must not reach it.
  EXPECT_EQ(MessageOf([&] {
              ProbeConnect(ServerTarget(server.Address().replace(0, 9, "0.0.0.0")), 500);
            }),
            "Erro de socket: Cannot assign requested address (99), na API 'connect'");
  EXPECT_EQ(server.Accepted(), 0u);
}

TEST(ProbeConnect, ShortNumericFormsReachNoAddress) {
  TLoopbackServer server;
  const std::string port = server.Address().substr(server.Address().find(':'));
  for (const std::string host : {"127.1", "127.0.1", "2130706433"})
    EXPECT_ANY_THROW(ProbeConnect(ServerTarget(host + port), 500)) << host;
}

// The resolver refuses a short numeric form without asking the network, which
// makes it the failed name lookup of a test.
TEST(ProbeConnect, AFailedNameLookupIsNamedAsSuch) {
  EXPECT_EQ(MessageOf([] { ProbeConnect(ServerTarget("127.1:7000"), 500); }),
            "Não foi possível resolver o nome 127.1: Name or service not known"_cp);
}

TEST(ServerTarget, NumericHostIsAnAddressAnyOtherAName) {
  const TSocketTarget numeric = ServerTarget("10.0.0.5:7000");
  EXPECT_EQ(numeric.Address, "10.0.0.5");
  EXPECT_EQ(numeric.Host, "");
  EXPECT_EQ(numeric.Port, 7000);
  const TSocketTarget named = ServerTarget("server1");
  EXPECT_EQ(named.Host, "server1");
  EXPECT_EQ(named.Address, "");
  EXPECT_EQ(named.Port, 6015);
}

// The connect waits without blocking; the socket it leaves open must block
// again, so that a receive waits for bytes that are still on their way.
TEST(ClientSocketOpen, LeavesTheSocketBlocking) {
  TLoopbackServer server;
  TClientSocket client;
  SetServerAddress(client, server.Address());
  client.Open();
  ASSERT_TRUE(server.WaitForConnections(1));
  std::atomic<bool> receiving{false};
  std::thread sender([&] {
    while (!receiving.load()) std::this_thread::yield();
    server.Send(0, "RECVOK");
  });
  client.Socket().SetTimeout(0);
  char reply[6];
  receiving.store(true);
  EXPECT_GT(client.Socket().ReceiveBuf(reply, sizeof reply), 0);
  sender.join();
}

}  // namespace
}  // namespace quv
