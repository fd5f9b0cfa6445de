#pragma once

// A raw TCP ping-pong over loopback: the peer that benchmarks of the
// package protocol measure themselves against.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "platform/Thread.h"
#include "tests/kit/LoopbackAddress.h"

namespace quv::bench {

inline void SetNoDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

inline void SendAll(int fd, const uint8_t* data, int64_t count) {
  while (count > 0) {
    const ssize_t sent = ::send(fd, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    if (sent <= 0) throw std::runtime_error("raw send failed");
    data += sent;
    count -= sent;
  }
}

inline void ReceiveAll(int fd, uint8_t* data, int64_t count) {
  while (count > 0) {
    const ssize_t got =
        ::recv(fd, data, static_cast<std::size_t>(std::min<int64_t>(count, 1 << 20)), 0);
    if (got <= 0) throw std::runtime_error("raw receive failed");
    data += got;
    count -= got;
  }
}

// A loopback peer on a thread: per exchange it receives `request` bytes and
// answers `reply` bytes in one write, until the client hangs up. Both ends
// have no-delay set, so neither write waits for more bytes. Owns its sockets;
// joined by its destructor.
class TRawPeer final : public TThread {
 public:
  TRawPeer(int64_t request, int64_t reply) : FRequest(request), FReply(reply) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = testing::LoopbackAddress();
    socklen_t length = sizeof address;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(FListen, 1) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("raw listen failed");
    Client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(Client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("raw connect failed");
    FPeer = ::accept(FListen, nullptr, nullptr);
    SetNoDelay(Client);
    SetNoDelay(FPeer);
    Start();
  }
  ~TRawPeer() override {
    ::shutdown(Client, SHUT_RDWR);
    WaitFor();
    ::close(Client);
    ::close(FPeer);
    ::close(FListen);
  }

  int Client = -1;

 protected:
  void Execute() override {
    std::vector<uint8_t> in(static_cast<std::size_t>(FRequest));
    std::vector<uint8_t> out(static_cast<std::size_t>(FReply), 'r');
    try {
      for (;;) {
        ReceiveAll(FPeer, in.data(), FRequest);
        SendAll(FPeer, out.data(), FReply);
      }
    } catch (const std::exception&) {
      // the client hung up
    }
  }

 private:
  int64_t FRequest, FReply;
  int FListen = -1;
  int FPeer = -1;
};

}  // namespace quv::bench
