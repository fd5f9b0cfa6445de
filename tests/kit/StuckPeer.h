#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/kit/LoopbackServer.h"

namespace quv::testing {

// A peer on 127.0.0.1 that takes a call, acknowledges it and sends the start
// of a reply (its signature and command header), then sends nothing more: the
// caller is left reading inside the reply package. Connections that close
// before a whole request (probes) are simply closed. The destructor closes
// every connection, which ends the calls still reading, and joins its thread.
class TStuckPeer final {
 public:
  TStuckPeer() : FListener(BindLoopback(0)) {
    ::listen(FListener, 16);
    FThread = std::thread([this] { Run(); });
  }
  ~TStuckPeer() {
    FStopping = true;
    FThread.join();
    for (const int fd : FHeld) ::close(fd);
    ::close(FListener);
  }
  TStuckPeer(const TStuckPeer&) = delete;
  TStuckPeer& operator=(const TStuckPeer&) = delete;

  std::string Address() const { return "127.0.0.1:" + std::to_string(LocalPort(FListener)); }
  // Calls now waiting inside their reply.
  int StuckCalls() const { return FStuck.load(); }

 private:
  static constexpr int kPollMs = 20;

  void Run() {
    while (!FStopping) {
      pollfd listener{FListener, POLLIN, 0};
      if (::poll(&listener, 1, kPollMs) <= 0) continue;
      const int fd = ::accept(FListener, nullptr, nullptr);
      if (fd < 0) continue;
      if (ReadRequest(fd)) {
        SendReplyStart(fd);
        FHeld.push_back(fd);
        ++FStuck;
      } else {
        ::close(fd);
      }
    }
  }

  // Reads up to the request's end-of-package marker; false when the
  // connection closes first.
  bool ReadRequest(int fd) {
    static const std::string kEnd{'\xEC', '\x03', '\0', '\0'};  // marker 1004
    std::string received;
    while (!FStopping) {
      pollfd peer{fd, POLLIN, 0};
      if (::poll(&peer, 1, kPollMs) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      received.append(buffer, static_cast<std::size_t>(n));
      if (received.size() >= 4 && received.compare(received.size() - 4, 4, kEnd) == 0) return true;
    }
    return false;
  }

  // "RECVOK", then "QUV1", marker 1002, length 132 and a 132-byte header.
  static void SendReplyStart(int fd) {
    std::string bytes = "RECVOKQUV1";
    bytes += std::string{'\xEA', '\x03', '\0', '\0', '\x84', '\0', '\0', '\0'};
    bytes += std::string(132, '\0');
    (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  const int FListener;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FStuck{0};
  std::vector<int> FHeld;  // the reader's thread only, until joined
  std::thread FThread;
};

}  // namespace quv::testing
