#include "transport/quvScktComp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/Cp1252.h"
#include "platform/FailureGuard.h"
#include "transport/quvAddress.h"
#include "transport/quvClientCfg.h"
#include "transport/quvConn.h"

namespace quv {

namespace {

// Receives of fewer bytes go through the read-ahead buffer of this size.
constexpr int32_t kReadAheadSize = 16384;

thread_local TSocketErrorProc tSocketErrorProc = nullptr;

// The port of `service` for "tcp" in host order, 0 when unknown.
uint16_t ServicePort(const std::string& service) {
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (::getservbyname_r(service.c_str(), "tcp", &entry, buffer, sizeof buffer, &found) != 0 ||
      found == nullptr)
    return 0;
  return ntohs(static_cast<uint16_t>(found->s_port));
}

// Whether `host` is one of the old numeric forms that the resolver would read
// as an address ("127.1" for 127.0.0.1, "2130706433", "0x7f.1"): only a full
// dotted quad names an address, and these are no names either.
bool IsShortNumericForm(const std::string& host) {
  in_addr address{};
  return ::inet_aton(host.c_str(), &address) != 0 && !IsIpv4Address(host);
}

// Sets `address` to the first IPv4 address of `host`; the resolver's code, 0
// when it found one.
int ResolveIpv4(const std::string& host, in_addr& address) {
  if (IsShortNumericForm(host)) return EAI_NONAME;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (code == 0 && found != nullptr)
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  if (found != nullptr) ::freeaddrinfo(found);
  return code;
}

sockaddr_in PeerAddress(const TSocketTarget& target) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (!target.Host.empty()) {
    if (const int code = ResolveIpv4(target.Host, peer.sin_addr); code != 0)
      throw ESocketError(std::string("Não foi possível resolver o nome "_cp) + target.Host + ": " +
                         ::gai_strerror(code));
  } else if (!target.Address.empty()) {
    if (::inet_pton(AF_INET, target.Address.c_str(), &peer.sin_addr) != 1)
      peer.sin_addr.s_addr = INADDR_ANY;
  } else
    throw ESocketError(std::string("Não foi especificado endereço"_cp));
  const uint16_t port =
      !target.Service.empty() ? ServicePort(target.Service) : static_cast<uint16_t>(target.Port);
  peer.sin_port = htons(port);
  return peer;
}

int WaitMs(int32_t ms) { return ms > 0 ? ms : -1; }

// A new socket that connects without blocking, so that the connect can be
// waited for within a time-out.
int NewConnectingSocket() {
  const int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (handle < 0) throw ESocketError(std::string("Não é possível criar um novo socket"_cp));
  return handle;
}

// Connects `handle`, a socket from NewConnectingSocket, to `peer` within the
// wait; 0 or the error code.
int ConnectWithin(int handle, const sockaddr_in& peer, int32_t waitMs) {
  // Linux takes 0.0.0.0 for this host; a failed lookup must not reach a local server.
  if (peer.sin_addr.s_addr == INADDR_ANY) return EADDRNOTAVAIL;
  int code = 0;
  if (::connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    code = errno;
    if (code == EINPROGRESS || code == EINTR) {
      const int ready = PollFor(handle, POLLOUT, WaitMs(waitMs));
      socklen_t length = sizeof code;
      if (ready == 0)
        code = ETIMEDOUT;
      else if (ready < 0)
        code = errno;
      else if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &code, &length) != 0)
        code = errno;
    }
  }
  return code;
}

// A failed connect: an ESocketError, or the code handed to the calling
// thread's socket error procedure.
void ReportConnectFailure(int code) {
  if (tSocketErrorProc == nullptr) throw SocketError(code, "connect");
  tSocketErrorProc(code);
}

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

}  // namespace

in_addr LookupHost(const std::string& host) {
  in_addr address{INADDR_ANY};
  ResolveIpv4(host, address);
  return address;
}

std::string HostLookupFailure(const std::string& host) {
  in_addr address{};
  const int code = ResolveIpv4(host, address);
  return code == 0 ? std::string() : ::gai_strerror(code);
}

bool IsIpv4Address(const std::string& text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

int PollFor(int handle, short events, int waitMs) {
  pollfd waiter{handle, events, 0};
  int ready;
  do {
    ready = ::poll(&waiter, 1, waitMs);
  } while (ready < 0 && errno == EINTR);
  return ready;
}

ESocketError SocketError(int code, const std::string& call) {
  return ESocketError("Erro de socket: " + SysErrorMessage(code) + " (" + std::to_string(code) +
                      "), na API '" + call + "'");
}

TSocketErrorProc SetSocketErrorProc(TSocketErrorProc proc) {
  const TSocketErrorProc previous = tSocketErrorProc;
  tSocketErrorProc = proc;
  return previous;
}

TCustomWinSocket::~TCustomWinSocket() { CloseHandle(); }

void TCustomWinSocket::Close() { CloseHandle(); }

void TCustomWinSocket::CloseHandle() {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (FHandle < 0) return;
  if (FConnected.load()) Event(TSocketEvent::seDisconnect);
  ::shutdown(FHandle, SHUT_WR);
  ::close(FHandle);
  SetHandle(-1);
  FAppliedReceiveTimeout = 0;
  FReadPos = FReadFill = 0;
  FConnected.store(false);
}

void TCustomWinSocket::SetHandle(int handle) {
  std::lock_guard<std::mutex> guard(FHandleLock);
  FHandle = handle;
}

void TCustomWinSocket::Interrupt() {
  std::lock_guard<std::mutex> guard(FHandleLock);
  FInterrupted.store(true);
  if (FHandle >= 0) ::shutdown(FHandle, SHUT_RDWR);
}

bool TCustomWinSocket::WaitFor(short events) const {
  return PollFor(FHandle, events, WaitMs(Timeout())) > 0;
}

int32_t TCustomWinSocket::Failed(TErrorEvent event, const char* call) {
  const int code = errno;
  if (WouldBlock(code)) return kConnNothingWithinWait;
  if (Error(event, code) != 0) throw SocketError(code, call);
  return kConnGone;
}

int32_t TCustomWinSocket::SendBuf(const void* buffer, int32_t count) {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (!FConnected.load()) return kConnGone;
  if (count <= 0) return 0;
  // Try first: a connected socket is nearly always writable, and a poll
  // before every send would double the system calls.
  const int32_t sent = SendNow(buffer, count);
  if (sent != kConnNothingWithinWait || !WaitFor(POLLOUT)) return sent;
  return SendNow(buffer, count);
}

int32_t TCustomWinSocket::SendNow(const void* buffer, int32_t count) {
  const ssize_t sent = ::send(FHandle, buffer, count, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) return Failed(TErrorEvent::eeSend, "send");
  return static_cast<int32_t>(sent);
}

int32_t TCustomWinSocket::ReceiveBuf(void* buffer, int32_t count) {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (!FConnected.load()) return kConnGone;
  const bool peek = count == -1;
  if (count <= 0 && !peek) return 0;
  if (HasReadAhead()) return peek ? 1 : TakeReadAhead(buffer, count);
  // One receive that blocks within the timeout: a reply on its way costs no
  // poll and no receive that comes back empty.
  ApplyReceiveTimeout();
  return ReceiveWithin(buffer, count);
}

void TCustomWinSocket::ApplyReceiveTimeout() {
  const int32_t wanted = std::max(Timeout(), 0);
  if (wanted == FAppliedReceiveTimeout) return;
  const timeval limit{wanted / 1000, (wanted % 1000) * 1000};
  if (::setsockopt(FHandle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
    throw SocketError(errno, "setsockopt");
  FAppliedReceiveTimeout = wanted;
}

int32_t TCustomWinSocket::ReceiveWithin(void* buffer, int32_t count) {
  const bool direct = count >= kReadAheadSize;
  if (!direct && FReadAhead.empty()) FReadAhead.resize(kReadAheadSize);
  ssize_t received;
  do {
    received = direct ? ::recv(FHandle, buffer, count, 0)
                      : ::recv(FHandle, FReadAhead.data(), kReadAheadSize, 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return Failed(TErrorEvent::eeReceive, "recv");
  if (received == 0) return kConnGone;  // the peer closed
  if (direct) return static_cast<int32_t>(received);
  FReadPos = 0;
  FReadFill = static_cast<int32_t>(received);
  return count == -1 ? 1 : TakeReadAhead(buffer, count);
}

int32_t TCustomWinSocket::TakeReadAhead(void* buffer, int32_t count) {
  const int32_t piece = std::min(count, FReadFill - FReadPos);
  std::memcpy(buffer, FReadAhead.data() + FReadPos, static_cast<std::size_t>(piece));
  FReadPos += piece;
  return piece;
}

void TCustomWinSocket::SetNoDelay(bool on) {
  const int value = on ? 1 : 0;
  if (::setsockopt(FHandle, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
    throw SocketError(errno, "setsockopt");
}

void TCustomWinSocket::SetLinger(bool on, int32_t seconds) {
  const linger value{on ? 1 : 0, seconds};
  if (::setsockopt(FHandle, SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0)
    throw SocketError(errno, "setsockopt");
}

void TCustomWinSocket::Event(TSocketEvent event) {
  if (OnSocketEvent) OnSocketEvent(*this, event);
}

int TCustomWinSocket::Error(TErrorEvent event, int code) {
  if (OnErrorEvent) OnErrorEvent(*this, event, code);
  return code;
}

void TClientWinSocket::Open(const TSocketTarget& target, int32_t connectWaitMs) {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (FConnected.load()) throw ESocketError(std::string("Socket já aberto"_cp));
  CloseHandle();
  SetHandle(NewConnectingSocket());
  sockaddr_in peer;
  {
    const TFailureGuard closeHandle([this] { CloseHandle(); });
    Event(TSocketEvent::seLookup);
    peer = PeerAddress(target);
    Event(TSocketEvent::seConnecting);
  }
  int failure = ConnectWithin(FHandle, peer, connectWaitMs);
  // An interrupt that came before the handle was set found nothing to shut down.
  if (failure == 0 && Interrupted()) failure = ECONNABORTED;
  if (failure == 0) {
    ::fcntl(FHandle, F_SETFL, 0);  // blocking from now on
    FConnected.store(true);
    Event(TSocketEvent::seConnect);
    return;
  }
  const int code = Error(TErrorEvent::eeConnect, failure);
  CloseHandle();
  if (code != 0) ReportConnectFailure(code);
}

void ProbeConnect(const TSocketTarget& target, int32_t connectWaitMs) {
  const sockaddr_in peer = PeerAddress(target);
  const int handle = NewConnectingSocket();
  const int failure = ConnectWithin(handle, peer, connectWaitMs);
  ::close(handle);
  if (failure != 0) ReportConnectFailure(failure);
}

TServerClientWinSocket::TServerClientWinSocket(int handle) {
  FHandle = handle;
  FConnected.store(handle >= 0);
}

void TAbstractSocket::SetActive(bool value) {
  if (value != FActive) DoActivate(value);
}

void TAbstractSocket::RefuseChange() {
  throw ESocketError(std::string("Não é possível mudar um valor enquanto o socket está aberto"_cp));
}

void TCustomSocket::Event(TCustomWinSocket& socket, TSocketEvent event) {
  const TSocketNotifyEvent* handler = nullptr;
  switch (event) {
    case TSocketEvent::seLookup:
      handler = &OnLookup;
      break;
    case TSocketEvent::seConnecting:
      handler = &OnConnecting;
      break;
    case TSocketEvent::seConnect:
      FActive = true;
      handler = &OnConnect;
      break;
    case TSocketEvent::seDisconnect:
      FActive = false;
      handler = &OnDisconnect;
      break;
  }
  if (*handler) (*handler)(socket);
}

void TCustomSocket::Error(TCustomWinSocket& socket, TErrorEvent event, int& errorCode) {
  if (OnError) OnError(*this, socket, event, errorCode);
}

TSocketTarget ServerTarget(std::string_view address) {
  THostPort split = SplitHostPort(address);
  TSocketTarget target;
  (IsNumericAddress(split.Host) ? target.Address : target.Host) = std::move(split.Host);
  target.Port = split.Port;
  return target;
}

void SetServerAddress(TAbstractSocket& socket, std::string_view address) {
  const TSocketTarget target = ServerTarget(address);
  if (!target.Address.empty())
    socket.SetAddress(target.Address);
  else
    socket.SetHost(target.Host);
  socket.SetPort(target.Port);
}

TClientSocket::TClientSocket() : FClientSocket(std::make_unique<TClientWinSocket>()) {
  FClientSocket->OnSocketEvent = [this](TCustomWinSocket& socket, TSocketEvent event) {
    Event(socket, event);
  };
  FClientSocket->OnErrorEvent = [this](TCustomWinSocket& socket, TErrorEvent event, int& code) {
    Error(socket, event, code);
  };
}

// Closes while the handlers can still reach this component.
TClientSocket::~TClientSocket() { FClientSocket->Close(); }

void TClientSocket::SetClientType(TClientType value) {
  if (value == FClientType) return;
  if (FClientSocket->Connected()) RefuseChange();
  if (value != TClientType::ctBlocking) throw ESocketError("Only blocking client sockets exist");
  FClientType = value;
}

int32_t TClientSocket::ConnectWait() const {
  return FConnectTimeout > 0 ? FConnectTimeout : TquvClientCfg::Timeout();
}

void TClientSocket::DoActivate(bool value) {
  if (value)
    FClientSocket->Open(Target(), ConnectWait());
  else
    FClientSocket->Close();
}

}  // namespace quv
