#include "app/HostProbe.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Exception.h"

namespace quv {

namespace {

// Owns a socket descriptor for the length of one probe.
class TSocketFd final {
 public:
  explicit TSocketFd(int fd) : FFd(fd) {}
  ~TSocketFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TSocketFd(const TSocketFd&) = delete;
  TSocketFd& operator=(const TSocketFd&) = delete;
  int Get() const { return FFd; }

 private:
  int FFd;
};

sockaddr_in Resolve(const THostPort& target) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(target.Host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr)
    throw Exception("cannot resolve " + target.Host + ": " + gai_strerror(rc));
  sockaddr_in address;
  std::memcpy(&address, found->ai_addr, sizeof address);
  ::freeaddrinfo(found);
  address.sin_port = htons(target.Port);
  return address;
}

// Waits for a non-blocking connect to finish; raises on failure or time-out.
void AwaitConnect(int fd, int timeoutMs) {
  pollfd waiter{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&waiter, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) RaiseLastOSError("poll");
  if (ready == 0) throw Exception("connect timed out");
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) RaiseLastOSError("getsockopt");
  if (error != 0) throw EOSError("connect", error);
}

}  // namespace

void TTcpProbe::Probe(const std::string& address) {
  const sockaddr_in target = Resolve(SplitHostPort(address));
  const TSocketFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket.Get() < 0) RaiseLastOSError("socket");
  if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
    return;
  if (errno != EINPROGRESS) RaiseLastOSError("connect");
  AwaitConnect(socket.Get(), FTimeoutMs);
}

}  // namespace quv
