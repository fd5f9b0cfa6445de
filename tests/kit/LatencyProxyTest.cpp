#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/kit/LatencyProxy.h"

namespace quv::testing {
namespace {

constexpr int64_t kMs = 1000000;
constexpr int kConnections = 3;
constexpr std::size_t kSize = 6 * 1024 * 1024;

// A blocking loopback socket.
class TSocket final {
 public:
  explicit TSocket(int fd) : FFd(fd) {}
  ~TSocket() {
    if (FFd >= 0) ::close(FFd);
  }
  TSocket(TSocket&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  int Fd() const { return FFd; }

  static TSocket Connect(uint16_t port) {
    TSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = testing::LoopbackAddress(port);
    EXPECT_EQ(::connect(socket.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return socket;
  }
  void Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t put = ::send(FFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      ASSERT_GT(put, 0);
      sent += static_cast<std::size_t>(put);
    }
  }
  // Up to `size` bytes, fewer only at the end of the stream.
  std::string Receive(std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t got = 0;
    while (got < size) {
      const ssize_t read = ::recv(FFd, bytes.data() + got, size - got, 0);
      if (read <= 0) break;
      got += static_cast<std::size_t>(read);
    }
    bytes.resize(got);
    return bytes;
  }
  bool Readable() const {
    pollfd waiter{FFd, POLLIN, 0};
    return ::poll(&waiter, 1, 0) == 1;
  }

 private:
  int FFd;
};

// A loopback listener on a free port.
class TServer final {
 public:
  TServer() : FSocket(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = testing::LoopbackAddress();
    socklen_t length = sizeof address;
    ::bind(FSocket.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(FSocket.Fd(), 16);
    ::getsockname(FSocket.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
  }
  uint16_t Port() const { return FPort; }
  TSocket Accept() { return TSocket(::accept(FSocket.Fd(), nullptr, nullptr)); }

 private:
  TSocket FSocket;
  uint16_t FPort = 0;
};

void WaitForPending(const TLatencyProxy& proxy, std::size_t chunks) {
  while (proxy.PendingChunks() != chunks) std::this_thread::yield();
}

TEST(LatencyProxy, DeliversEachWayOnlyOnceTheDelayHasPassed) {
  TManualClock clock(1000);
  TClockOverride useClock(clock);
  TServer server;
  TLatencyProxy proxy(10 * kMs);
  TSocket client = TSocket::Connect(proxy.AddPort(server.Port()));

  client.Send("ping");
  TSocket served = server.Accept();
  WaitForPending(proxy, 1);
  EXPECT_FALSE(served.Readable());
  clock.Advance(10);
  EXPECT_EQ(served.Receive(4), "ping");
  WaitForPending(proxy, 0);

  served.Send("pong!");
  ::shutdown(served.Fd(), SHUT_WR);
  WaitForPending(proxy, 2);  // the bytes, then the end of the stream
  EXPECT_FALSE(client.Readable());
  clock.Advance(10);
  EXPECT_EQ(client.Receive(100), "pong!");
}

// Large transfers on several connections at once overflow the socket buffers,
// so that writes are partial and the senders must wait for the receivers.
TEST(LatencyProxy, ForwardsLargeStreamsIntactBothWays) {
  TServer server;
  TLatencyProxy proxy(1 * kMs);
  const uint16_t ports[] = {proxy.AddPort(server.Port()), proxy.AddPort(server.Port())};
  std::thread echo([&server] {
    std::vector<std::thread> echoes;
    for (int i = 0; i < kConnections; ++i)
      echoes.emplace_back([served = server.Accept()]() mutable {
        const std::string bytes = served.Receive(kSize + 1);
        served.Send(bytes);
      });
    for (std::thread& thread : echoes) thread.join();
  });
  std::vector<std::thread> clients;
  std::vector<std::string> echoed(kConnections);
  for (int i = 0; i < kConnections; ++i)
    clients.emplace_back([&, i] {
      std::string bytes(kSize, '\0');
      for (std::size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<char>(j * 7 + i);
      TSocket client = TSocket::Connect(ports[i % 2]);
      client.Send(bytes);
      ::shutdown(client.Fd(), SHUT_WR);
      echoed[i] = client.Receive(bytes.size() + 1) == bytes ? "same" : "different";
    });
  for (std::thread& thread : clients) thread.join();
  echo.join();
  EXPECT_EQ(echoed, std::vector<std::string>(kConnections, "same"));
}

TEST(LatencyProxy, ClosesTheClientWhenTheServerIsGone) {
  uint16_t gonePort = 0;
  {
    TServer gone;
    gonePort = gone.Port();
  }
  TLatencyProxy proxy(1 * kMs);
  TSocket client = TSocket::Connect(proxy.AddPort(gonePort));
  client.Send("x");
  EXPECT_EQ(client.Receive(1), "");
}

// The server is connected once bytes arrive: the first connection it accepts
// is the one that sent, not the one that closed at once.
TEST(LatencyProxy, ConnectionClosedBeforeSendingNeverReachesTheServer) {
  TServer server;
  TLatencyProxy proxy(1 * kMs);
  const uint16_t port = proxy.AddPort(server.Port());
  { TSocket probe = TSocket::Connect(port); }
  TSocket client = TSocket::Connect(port);
  client.Send("call");
  TSocket served = server.Accept();
  EXPECT_EQ(served.Receive(4), "call");
}

}  // namespace
}  // namespace quv::testing
