#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Thread.h"
#include "tests/kit/LoopbackAddress.h"

namespace quv::testing {

// How long a test waits for the listener to see something before it fails.
inline constexpr std::chrono::seconds kLoopbackPatience{20};

// A socket bound to `port` on 127.0.0.1 (0: a free one), or -1.
inline int BindLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = testing::LoopbackAddress(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

inline uint16_t LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A loopback port nobody listens on: connecting there is refused.
inline uint16_t UnusedPort() {
  const int fd = BindLoopback(0);
  const uint16_t port = LocalPort(fd);
  ::close(fd);
  return port;
}

// A TCP listener on 127.0.0.1 that accepts and reads on its own thread and
// keeps what each accepted connection received, in accept order. Owned by
// the test, which it joins on destruction. Thread-safe.
class TLoopbackServer final : public TThread {
 public:
  // Listens on `port` (0: a free one); Listening() tells whether it could.
  explicit TLoopbackServer(uint16_t port = 0) : FListener(BindLoopback(port)) {
    if (FListener >= 0 && ::listen(FListener, 16) == 0) {
      FPort = LocalPort(FListener);
      Start();
    }
  }
  ~TLoopbackServer() override {
    TerminateAndWait();
    for (const TPeer& peer : FPeers)
      if (peer.Fd >= 0) ::close(peer.Fd);
    if (FListener >= 0) ::close(FListener);
  }

  bool Listening() const { return FPort != 0; }
  uint16_t Port() const { return FPort; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }

  std::size_t Accepted() {
    std::lock_guard<std::mutex> guard(FLock);
    return FPeers.size();
  }
  // Waits until `count` connections were accepted; false when they were not.
  bool WaitForConnections(std::size_t count) {
    return WaitUntil([&] { return FPeers.size() >= count; });
  }
  // Waits until connection `index` has received `size` bytes or was closed;
  // what it received.
  std::string WaitForReceived(std::size_t index, std::size_t size) {
    WaitUntil([&] {
      return index < FPeers.size() &&
             (FPeers[index].Received.size() >= size || FPeers[index].Fd < 0);
    });
    std::lock_guard<std::mutex> guard(FLock);
    return index < FPeers.size() ? FPeers[index].Received : std::string();
  }
  // Waits until the client closed connection `index`; false when it did not.
  bool WaitForClientClose(std::size_t index) {
    return WaitUntil([&] { return index < FPeers.size() && FPeers[index].Fd < 0; });
  }
  void Send(std::size_t index, std::string_view bytes) {
    std::lock_guard<std::mutex> guard(FLock);
    ASSERT_EQ(::send(FPeers.at(index).Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Closes connection `index` from the server's side.
  void Disconnect(std::size_t index) {
    std::lock_guard<std::mutex> guard(FLock);
    ::shutdown(FPeers.at(index).Fd, SHUT_RDWR);
  }

 protected:
  void Execute() override {
    while (!Terminated()) {
      std::vector<pollfd> waiters = Waiters();
      if (::poll(waiters.data(), waiters.size(), 20) <= 0) continue;
      std::lock_guard<std::mutex> guard(FLock);
      if (waiters[0].revents & POLLIN) AcceptOne();
      for (std::size_t i = 1; i < waiters.size(); ++i)
        if (waiters[i].revents != 0) ReadFrom(FPeers[i - 1]);
      FChanged.notify_all();
    }
  }

 private:
  struct TPeer {
    int Fd;
    std::string Received;
  };

  template <class P>
  bool WaitUntil(P ready) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, kLoopbackPatience, ready);
  }
  // The listener, then every accepted connection (-1 once closed, which poll skips).
  std::vector<pollfd> Waiters() {
    std::lock_guard<std::mutex> guard(FLock);
    std::vector<pollfd> waiters{{FListener, POLLIN, 0}};
    for (const TPeer& peer : FPeers) waiters.push_back({peer.Fd, POLLIN, 0});
    return waiters;
  }
  void AcceptOne() {
    const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) FPeers.push_back({fd, {}});
  }
  static void ReadFrom(TPeer& peer) {
    char buffer[4096];
    const ssize_t received = ::recv(peer.Fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received > 0) {
      peer.Received.append(buffer, received);
    } else if (received == 0 || (errno != EAGAIN && errno != EINTR)) {
      ::close(peer.Fd);
      peer.Fd = -1;
    }
  }

  int FListener;
  uint16_t FPort = 0;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TPeer> FPeers;  // guarded by FLock
};

}  // namespace quv::testing
