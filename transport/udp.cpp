#include "transport/udp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/Cp1252.h"
#include "platform/Exception.h"
#include "transport/quvAddress.h"
#include "transport/quvScktComp.h"

namespace quv {

namespace {

// The IPv4 address of `host`: dotted text or a name; false when there is none.
bool HostAddress(const std::string& host, in_addr& address) {
  if (IsNumericAddress(host)) return ::inet_pton(AF_INET, host.c_str(), &address) == 1;
  address = LookupHost(host);
  return address.s_addr != htonl(INADDR_ANY);
}

}  // namespace

TUdp::TUdp(uint16_t port, int32_t receiveWaitMs)
    : FHandle(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), FPort(port) {
  SetReceiveWait(receiveWaitMs);
  if (!FHandle.Valid()) throw SocketError(errno, "socket");
  const int on = 1;
  if (::setsockopt(FHandle.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    throw SocketError(errno, "setsockopt");
}

void TUdp::Resolve(TUdpMsg& message) const {
  in_addr address{htonl(INADDR_BROADCAST)};
  if (!message.Host.empty() && !HostAddress(message.Host, address))
    throw Exception(std::string("Não foi possível converter o endereço IP "_cp) + message.Host);
  message.Peer = sockaddr_in{};
  message.Peer.sin_family = AF_INET;
  message.Peer.sin_addr = address;
  message.Peer.sin_port = htons(FPort);
  message.Resolved = true;
}

void TUdp::Send(TUdpMsg& message) {
  if (!message.Resolved) Resolve(message);
  const ssize_t sent =
      ::sendto(FHandle.Get(), message.Data.data(), message.Data.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&message.Peer), sizeof message.Peer);
  if (sent < 0) throw SocketError(errno, "sendto");
}

bool TUdp::Receive(TUdpMsg& message) {
  const int ready = PollFor(FHandle.Get(), POLLIN, FReceiveWait);
  if (ready == 0) return false;
  char buffer[kUdpMaxPayload];
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const ssize_t received = ready < 0
                               ? -1
                               : ::recvfrom(FHandle.Get(), buffer, sizeof buffer, MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&peer), &length);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  if (received < 0) throw Exception("Error reading from socket");
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  message.Resolved = true;
  message.Data.assign(buffer, static_cast<std::size_t>(received));
  message.Peer = peer;
  message.Host = text;
  return true;
}

}  // namespace quv
