#include "appserver/quvServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "appserver/quvServerLog.h"
#include "platform/Exception.h"

namespace quv {

namespace {

constexpr char kWakeToStop = 'S';
constexpr char kWakeToReap = 'R';
constexpr std::string_view kCloseSignature = "QUVC";

std::string PeerText(const sockaddr_in& peer) {
  char host[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace

TquvServer::TquvServer(TServerOptions options, const TMethodRegistry& methods, TServerState& state)
    : FOptions(std::move(options)), FMethods(methods), FState(state) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) RaiseLastOSError("pipe2");
  FWakeRead = pipe[0];
  FWakeWrite = pipe[1];
}

TquvServer::~TquvServer() {
  StopConnections();
  if (FListener >= 0) ::close(FListener);
  ::close(FWakeRead);
  ::close(FWakeWrite);
}

uint16_t TquvServer::Listen() {
  FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListener < 0) RaiseLastOSError("socket");
  const int on = 1;
  ::setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(FOptions.Port);
  if (::inet_pton(AF_INET, FOptions.ListenAddress.c_str(), &address.sin_addr) != 1)
    throw Exception("Not a numeric IPv4 address: " + FOptions.ListenAddress);
  if (::bind(FListener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(FListener, SOMAXCONN) != 0) {
    throw Exception("cannot listen on " + FOptions.ListenAddress + ":" +
                    std::to_string(FOptions.Port) + ": " + SysErrorMessage(errno));
  }
  socklen_t length = sizeof address;
  if (::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    RaiseLastOSError("getsockname");
  const uint16_t port = ntohs(address.sin_port);
  StartLocator(port);
  return port;
}

void TquvServer::StartLocator(uint16_t port) {
  FLocatorAnswer = std::make_unique<TLocatorAnswer>(
      FMethods.Libraries(),
      FOptions.LocatorAnswer.empty() ? ServerAddressText(FOptions.ListenAddress, port)
                                     : FOptions.LocatorAnswer,
      FOptions.LocatorValidityMs);
  FResponder = std::make_unique<TLocatorResponder>(FOptions.LocatorListen, FOptions.LocatorPort,
                                                   *FLocatorAnswer);
  FResponder->Start();
}

void TquvServer::Run() {
  std::vector<pollfd> waiters;
  for (;;) {
    waiters.assign({{FListener, POLLIN, 0}, {FWakeRead, POLLIN, 0}});
    for (const TPendingConnection& pending : FPending)
      waiters.push_back({pending.Handle, POLLIN, 0});
    if (::poll(waiters.data(), waiters.size(), -1) < 0) {
      if (errno == EINTR) continue;
      RaiseLastOSError("poll");
    }
    if ((waiters[1].revents & POLLIN) && DrainWakeUps()) break;
    Reap();
    // From the back, so that taking one up leaves the indexes before it as they are.
    for (std::size_t i = waiters.size(); i-- > 2;)
      if (waiters[i].revents != 0) TakeUpPending(i - 2);
    if (waiters[0].revents & POLLIN) AcceptOne();
  }
  StopConnections();
}

void TquvServer::Stop() { Wake(kWakeToStop); }

void TquvServer::Wake(char reason) {
  // A full pipe already holds a wake-up; a lost byte changes nothing.
  [[maybe_unused]] const ssize_t written = ::write(FWakeWrite, &reason, 1);
}

bool TquvServer::DrainWakeUps() {
  bool stop = false;
  char reasons[64];
  ssize_t count;
  while ((count = ::read(FWakeRead, reasons, sizeof reasons)) > 0)
    stop = stop || std::find(reasons, reasons + count, kWakeToStop) != reasons + count;
  return stop;
}

void TquvServer::AcceptOne() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int handle =
      ::accept4(FListener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (handle < 0) return;  // the client gave up already, or no descriptor is left
  std::string peerText = PeerText(peer);
  if (static_cast<int32_t>(FConnections.size() + FPending.size()) >= FOptions.MaxConnections) {
    Refuse(handle, peerText);
    return;
  }
  FPending.push_back({handle, std::move(peerText)});
}

void TquvServer::TakeUpPending(std::size_t index) {
  const TPendingConnection pending = FPending[index];
  FPending.erase(FPending.begin() + static_cast<std::ptrdiff_t>(index));
  char first;
  const ssize_t peeked = ::recv(pending.Handle, &first, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked <= 0) {
    // Closed or reset before a request: nothing to serve. The connection
    // thread would end the same way, without a word.
    if (peeked < 0 && (errno == EAGAIN || errno == EINTR)) {
      FPending.push_back(pending);
      return;
    }
    ::close(pending.Handle);
    return;
  }
  try {
    auto connection = std::make_unique<TConnectionThread>(
        pending.Handle, pending.Peer, FOptions, FMethods, *FLocatorAnswer, FState, FProbeTimer,
        [this] { Wake(kWakeToReap); });
    connection->Start();
    FConnections.push_back(std::move(connection));
  } catch (const std::exception& e) {
    ServerLogLine(pending.Peer + ": " + e.what());
  }
}

void TquvServer::Refuse(int handle, const std::string& peer) {
  ::send(handle, kCloseSignature.data(), kCloseSignature.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  ::shutdown(handle, SHUT_WR);
  ::close(handle);
  ServerLogLine(peer + ": refused, " + std::to_string(FOptions.MaxConnections) +
                " connections in use");
}

void TquvServer::Reap() {
  std::erase_if(FConnections, [](const std::unique_ptr<TConnectionThread>& connection) {
    return connection->Ended();
  });
}

void TquvServer::StopConnections() {
  if (FResponder) FResponder->Stop();
  for (const TPendingConnection& pending : FPending) ::close(pending.Handle);
  FPending.clear();
  for (const auto& connection : FConnections) connection->Stop();
  FConnections.clear();
}

}  // namespace quv
