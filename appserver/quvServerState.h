#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Cp1252.h"
#include "appserver/quvMethods.h"
#include "appserver/quvTaskLog.h"
#include "transport/quvpack.h"

namespace quv {

// The error text a client gets for a request that was cancelled.
inline constexpr std::string_view kRequestCancelledText = "A requisição foi cancelada."_cp;

// A text from a client as an error text shows it: its first kLongestQuotedText bytes.
inline constexpr std::size_t kLongestQuotedText = 100;
std::string QuotedText(std::string_view text);

// The error text for a session key that names no open session.
std::string UnknownSessionText(std::string_view key);

// A request in flight as the task list shows it.
struct TRequestInfo {
  int32_t RequestNumber = 0;
  std::string Client;  // "a.b.c.d:port"
  std::string Method;
  uint32_t ElapsedMs = 0;
  bool SystemCommand = false;  // a method of the library "quvsystem"
  std::string UserName;        // of the request's session; empty without one
  bool Cancelled = false;
};

// An open session as the session list shows it.
struct TSessionInfo {
  std::string Key;
  std::string UserName;
  double CreationTime = 0;  // local date-time of the logon
  bool Active = false;      // one of its requests is in flight
  std::string Source;       // the address of the client that opened it
  std::string Licence;
};

// The session key a call context names: the text after "sessionkey=" at
// its start, up to the first line break; empty when it names none.
std::string SessionKeyOfContext(std::string_view context);

// The requests the server carries right now and its open sessions.
// Thread-safe. Lock order: this table, then a request's TCallControl.
class TServerState final {
 public:
  // `keySeed` drives the session keys; each request's start and end go to
  // "*taskLog" when given, which must outlive the state.
  explicit TServerState(uint64_t keySeed, TTaskLog* taskLog = nullptr);

  // Registers a request of the session `sessionKey` (none when empty);
  // "*control" must stay valid until RemoveRequest. Clears `sessionKey` when
  // that session is not open. The handle of the entry.
  uint64_t AddRequest(const TquvCommandHeader& header, std::string client, std::string& sessionKey,
                      TCallControl& control);
  void RemoveRequest(uint64_t handle);
  // In order of arrival.
  std::vector<TRequestInfo> Requests() const;
  // Cancels every request in flight with that number; false when there is none.
  bool CancelRequest(int32_t requestNumber);

  // Opens a session; its new key.
  std::string OpenSession(std::string userName, std::string licence, std::string source);
  // Closes the session and cancels its requests; false when it is not open.
  bool CloseSession(const std::string& key);
  bool SessionOpen(const std::string& key) const;
  // In order of logon.
  std::vector<TSessionInfo> Sessions() const;

 private:
  struct TRequestEntry {
    int32_t RequestNumber;
    std::string Client;
    std::string Method;
    uint32_t ArrivalTick;
    std::string SessionKey;
    bool Cancelled;
    TCallControl* Control;
  };
  struct TSessionEntry {
    uint64_t Order;
    std::string UserName;
    double CreationTime;
    std::string Source;
    std::string Licence;
  };

  void CancelEntry(TRequestEntry& entry);
  std::string NewSessionKey();

  TTaskLog* const FTaskLog;
  mutable std::mutex FLock;
  uint64_t FNextHandle = 1;  // also orders the sessions by logon
  std::map<uint64_t, TRequestEntry> FRequests;
  std::map<std::string, TSessionEntry> FSessions;
  std::mt19937_64 FKeys;
};

// One request in the server's table from construction to destruction, which
// the connection thread brackets around the call and its reply. "*state" and
// "*control" must outlive it.
class TRequestRegistration final {
 public:
  TRequestRegistration(TServerState& state, const TquvCommandHeader& header,
                       std::string_view context, const std::string& peer, TCallControl& control);
  ~TRequestRegistration();
  TRequestRegistration(const TRequestRegistration&) = delete;
  TRequestRegistration& operator=(const TRequestRegistration&) = delete;

  // The error text for a request that names a session which is not open;
  // empty when the request may run.
  const std::string& Refusal() const { return FRefusal; }
  // True when the request came with a session that has been closed since.
  bool SessionClosed() const;

 private:
  TServerState& FState;
  std::string FSessionKey;
  std::string FRefusal;
  uint64_t FHandle;
};

}  // namespace quv
