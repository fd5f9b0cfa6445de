#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include "platform/OpenFileLimit.h"
#include "tests/kit/LatencyProxy.h"

namespace quv::bench {

// A latency proxy in a child process of its own, so that neither its sockets
// nor its processor time count as the benchmark's: a fleet of thousands of
// proxy ports then fits in the benchmark's open files, and the benchmark's
// processor time is that of the client alone. It forks, so it is made before
// the process starts any thread. Ports are asked for over a pipe; the child
// ends when the pipe closes, and the destructor reaps it.
class TProxyProcess final {
 public:
  explicit TProxyProcess(int64_t oneWayDelayNs) {
    int requests[2], replies[2];
    // Close-on-exec, so that the servers started later hold no end of them.
    if (::pipe2(requests, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    FPid = ::fork();
    if (FPid < 0) throw std::runtime_error("cannot start the proxy process");
    if (FPid == 0) {
      ::close(requests[1]);
      ::close(replies[0]);
      Serve(oneWayDelayNs, requests[0], replies[1]);
      ::_exit(0);
    }
    ::close(requests[0]);
    ::close(replies[1]);
    FRequests = requests[1];
    FReplies = replies[0];
  }
  ~TProxyProcess() {
    ::close(FRequests);
    ::close(FReplies);
    int status = 0;
    ::waitpid(FPid, &status, 0);
  }
  TProxyProcess(const TProxyProcess&) = delete;
  TProxyProcess& operator=(const TProxyProcess&) = delete;

  pid_t Pid() const { return FPid; }
  // Opens a proxy port that forwards to 127.0.0.1:`serverPort`; returns its number.
  uint16_t AddPort(uint16_t serverPort) {
    uint16_t port = 0;
    if (::write(FRequests, &serverPort, sizeof serverPort) != sizeof serverPort ||
        ::read(FReplies, &port, sizeof port) != sizeof port || port == 0)
      throw std::runtime_error("the proxy process opened no port");
    return port;
  }

 private:
  // The child: opens a port per request until the pipe closes; port 0 says
  // that one could not be opened.
  static void Serve(int64_t oneWayDelayNs, int requests, int replies) {
    RaiseOpenFileLimit();
    testing::TLatencyProxy proxy(oneWayDelayNs);
    uint16_t serverPort = 0;
    while (::read(requests, &serverPort, sizeof serverPort) == sizeof serverPort) {
      uint16_t port = 0;
      try {
        port = proxy.AddPort(serverPort);
      } catch (const std::exception&) {
      }
      if (::write(replies, &port, sizeof port) != sizeof port) break;
    }
  }

  pid_t FPid = -1;
  int FRequests = -1;
  int FReplies = -1;
};

}  // namespace quv::bench
