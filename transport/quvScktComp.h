#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"
#include "platform/Sync.h"

namespace quv {

// A failure of the socket layer.
class ESocketError : public Exception {
 public:
  using Exception::Exception;
};

// "Erro de socket: <system text> (<code>), na API '<call>'".
ESocketError SocketError(int code, const std::string& call);

// The life-cycle points a socket reports to its component, in this order.
enum class TSocketEvent : uint8_t { seLookup, seConnecting, seConnect, seDisconnect };

enum class TErrorEvent : uint8_t {
  eeGeneral,
  eeSend,
  eeReceive,
  eeConnect,
  eeDisconnect,
  eeAccept
};

enum class TClientType : uint8_t { ctNonBlocking = 0, ctBlocking = 1 };

// The first IPv4 address of `host`, or 0.0.0.0 (INADDR_ANY) when the lookup fails.
in_addr LookupHost(const std::string& host);
// Why `host` has no IPv4 address (the resolver's text); empty when it has one.
std::string HostLookupFailure(const std::string& host);
// Whether `text` is a numeric IPv4 address in dotted decimal.
bool IsIpv4Address(const std::string& text);

// poll() for `events` on `handle` within `waitMs` (negative: without limit),
// resumed after signals: > 0 when ready, 0 when the wait ran out, < 0 on error.
int PollFor(int handle, short events, int waitMs);

// A per-thread procedure that takes the code of a failed connect instead of
// the exception the connect would raise.
using TSocketErrorProc = void (*)(int errorCode);

// Installs `proc` (null: none) for the calling thread; returns the previous one.
TSocketErrorProc SetSocketErrorProc(TSocketErrorProc proc);

// One TCP socket in blocking mode. Send, receive and close are serialised by
// the socket's lock; the socket is normally used by one thread at a time.
// Small receives are served from a read-ahead buffer filled by one recv, so
// a package's many small items cost one system call instead of one each;
// what it holds belongs to this connection and is dropped on close.
class TCustomWinSocket {
 public:
  using TEventHandler = std::function<void(TCustomWinSocket&, TSocketEvent)>;
  // The handler may clear `errorCode`; a cleared error is not raised.
  using TErrorHandler = std::function<void(TCustomWinSocket&, TErrorEvent, int& errorCode)>;

  TCustomWinSocket() = default;
  virtual ~TCustomWinSocket();
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

  // Reports disconnect, shuts the sending direction down and closes the handle.
  void Close();
  // Sends up to `count` bytes within the wait: the number sent, -1 when the
  // socket did not become writable within it, -2 when not connected.
  int32_t SendBuf(const void* buffer, int32_t count);
  // Receives up to `count` bytes within the wait: the number received, -1
  // when nothing arrived within it, -2 when not connected or the peer closed.
  // A count of -1 peeks one byte: 1 when something is there.
  int32_t ReceiveBuf(void* buffer, int32_t count);

  bool Connected() const { return FConnected.load(); }
  // May be called from any thread while another uses the socket: shuts both
  // directions down, so that its waits end and later transfers report the
  // connection as gone. A socket interrupted never connects again.
  void Interrupt();
  bool Interrupted() const { return FInterrupted.load(); }
  // The wait of each send and receive in ms; 0 waits without limit.
  int32_t Timeout() const { return FTimeout.load(); }
  void SetTimeout(int32_t ms) { FTimeout.store(ms); }

  void SetNoDelay(bool on);
  void SetLinger(bool on, int32_t seconds);

  TEventHandler OnSocketEvent;
  TErrorHandler OnErrorEvent;

 protected:
  void Event(TSocketEvent event);
  // Reports `code` to the error handler; returns the code it leaves.
  int Error(TErrorEvent event, int code);
  void CloseHandle();
  // Gives the socket a new handle, under the lock that Interrupt takes.
  void SetHandle(int handle);

  int FHandle = -1;
  std::atomic<bool> FConnected{false};
  TCriticalSection FLock;

 private:
  // Waits for `events` within the timeout; false when none came.
  bool WaitFor(short events) const;
  // One send without waiting; -1 when it would block.
  int32_t SendNow(const void* buffer, int32_t count);
  // One receive that waits up to the timeout; -1 when nothing came.
  int32_t ReceiveWithin(void* buffer, int32_t count);
  // Hands the timeout to the socket for its blocking receives, when it changed.
  void ApplyReceiveTimeout();
  // Moves up to `count` read-ahead bytes into `buffer`; returns how many.
  int32_t TakeReadAhead(void* buffer, int32_t count);
  bool HasReadAhead() const { return FReadPos < FReadFill; }
  // The result of a failed send or receive: -1 for a wait that ran out,
  // else the error reported and raised (or -2 when the handler cleared it).
  int32_t Failed(TErrorEvent event, const char* call);

  // Guards changes of FHandle against Interrupt; never held while waiting.
  std::mutex FHandleLock;
  std::atomic<bool> FInterrupted{false};
  std::atomic<int32_t> FTimeout{0};
  int32_t FAppliedReceiveTimeout = 0;  // what the handle has: 0 waits for ever
  std::vector<uint8_t> FReadAhead;     // made on the first small receive
  int32_t FReadPos = 0;
  int32_t FReadFill = 0;
};

// The server's end of an accepted TCP connection; owns `handle`, which is
// closed on destruction.
class TServerClientWinSocket final : public TCustomWinSocket {
 public:
  explicit TServerClientWinSocket(int handle);
};

// Where a client socket connects to. A host name takes precedence over the
// numeric address, a service name over the port.
struct TSocketTarget {
  std::string Host;
  std::string Address;
  std::string Service;
  int32_t Port = 0;
};

class TClientWinSocket final : public TCustomWinSocket {
 public:
  // Connects within `connectWaitMs` (0 waits without limit). A failure raises
  // ESocketError, unless the calling thread has a socket error procedure,
  // which then takes the code.
  void Open(const TSocketTarget& target, int32_t connectWaitMs);
};

// The settings and events of a socket component. Changing a setting to a
// different value while the socket is active raises ESocketError.
class TAbstractSocket {
 public:
  virtual ~TAbstractSocket() = default;

  bool Active() const { return FActive; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

  const std::string& Address() const { return FTarget.Address; }
  void SetAddress(const std::string& value) { Change(FTarget.Address, value); }
  const std::string& Host() const { return FTarget.Host; }
  void SetHost(const std::string& value) { Change(FTarget.Host, value); }
  int32_t Port() const { return FTarget.Port; }
  void SetPort(int32_t value) { Change(FTarget.Port, value); }
  const std::string& Service() const { return FTarget.Service; }
  void SetService(const std::string& value) { Change(FTarget.Service, value); }

 protected:
  virtual void DoActivate(bool value) = 0;
  [[noreturn]] static void RefuseChange();

  const TSocketTarget& Target() const { return FTarget; }
  bool FActive = false;

 private:
  template <class T>
  void Change(T& field, const T& value) {
    if (field == value) return;
    if (FActive) RefuseChange();
    field = value;
  }

  TSocketTarget FTarget;
};

// The component's events, each with the socket it concerns.
class TCustomSocket : public TAbstractSocket {
 public:
  using TSocketNotifyEvent = std::function<void(TCustomWinSocket&)>;
  using TSocketErrorEvent =
      std::function<void(TCustomSocket& sender, TCustomWinSocket&, TErrorEvent, int& errorCode)>;

  TSocketNotifyEvent OnLookup;
  TSocketNotifyEvent OnConnecting;
  TSocketNotifyEvent OnConnect;
  TSocketNotifyEvent OnDisconnect;
  TSocketErrorEvent OnError;

 protected:
  void Event(TCustomWinSocket& socket, TSocketEvent event);
  void Error(TCustomWinSocket& socket, TErrorEvent event, int& errorCode);
};

// The target of a server address "host" or "host:port" (the rule of
// SplitHostPort): a numeric host becomes its Address, any other its Host.
TSocketTarget ServerTarget(std::string_view address);
// Points `socket` at a server address as ServerTarget reads it.
void SetServerAddress(TAbstractSocket& socket, std::string_view address);

// Opens a TCP connection to `target` within `connectWaitMs` and closes it at
// once: a reachability check that needs no socket object and makes the fewest
// system calls. Fails as TClientWinSocket::Open fails.
void ProbeConnect(const TSocketTarget& target, int32_t connectWaitMs);

// A client socket component that owns one TClientWinSocket. Blocking mode
// only. Setting ConnectTimeout bounds the connect (0: the client settings'
// Timeout).
class TClientSocket final : public TCustomSocket {
 public:
  TClientSocket();
  ~TClientSocket() override;

  TClientWinSocket& Socket() { return *FClientSocket; }
  TClientType ClientType() const { return FClientType; }
  void SetClientType(TClientType value);
  int32_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int32_t ms) { FConnectTimeout = ms; }

 protected:
  void DoActivate(bool value) override;

 private:
  int32_t ConnectWait() const;

  std::unique_ptr<TClientWinSocket> FClientSocket;
  TClientType FClientType = TClientType::ctBlocking;
  int32_t FConnectTimeout = 0;
};

}  // namespace quv
