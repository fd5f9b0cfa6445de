#include "appserver/quvLocatorResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "appserver/quvServerLog.h"
#include "platform/Exception.h"
#include "transport/udp.h"

namespace quv {

TLocatorResponder::TLocatorResponder(const std::string& address, uint16_t port,
                                     const TLocatorAnswer& answer)
    : FAnswer(answer), FSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  if (!FSocket.Valid()) RaiseLastOSError("socket");
  const int on = 1;
  ::setsockopt(FSocket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
    throw Exception("Not a numeric IPv4 address: " + address);
  if (::bind(FSocket.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw Exception("cannot receive locator requests on " + address + ":" + std::to_string(port) +
                    " (UDP): " + SysErrorMessage(errno));
  }
  socklen_t length = sizeof local;
  if (::getsockname(FSocket.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    RaiseLastOSError("getsockname");
  FPort = ntohs(local.sin_port);
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) RaiseLastOSError("pipe2");
  FWakeRead.Reset(pipe[0]);
  FWakeWrite.Reset(pipe[1]);
}

TLocatorResponder::~TLocatorResponder() { Stop(); }

void TLocatorResponder::Stop() {
  Terminate();
  const char wake = 'S';
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t written = ::write(FWakeWrite.Get(), &wake, 1);
  WaitFor();
}

void TLocatorResponder::Execute() {
  while (!Terminated()) {
    pollfd waiters[2] = {{FSocket.Get(), POLLIN, 0}, {FWakeRead.Get(), POLLIN, 0}};
    if (::poll(waiters, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ServerLogLine("locator: poll failed");
      return;
    }
    if (waiters[0].revents & POLLIN) AnswerOne();
  }
}

void TLocatorResponder::AnswerOne() {
  char buffer[kUdpMaxPayload];
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  // MSG_TRUNC gives the datagram's full size: a longer one is no request.
  const ssize_t received =
      ::recvfrom(FSocket.Get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                 reinterpret_cast<sockaddr*>(&peer), &length);
  if (received < 0 || received > static_cast<ssize_t>(sizeof buffer)) return;
  const std::string answer =
      FAnswer.Respond(std::string_view(buffer, static_cast<std::size_t>(received)));
  if (answer.empty()) return;
  // A lost answer is the sender's time-out, as on any datagram network.
  ::sendto(FSocket.Get(), answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&peer), length);
}

}  // namespace quv
