#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "platform/ProcessSlot.h"
#include "transport/udp.h"

// Finding the server that implements a library: an address cache, an address
// written into the request, locator servers asked over TCP, or a UDP
// broadcast. doc/locator.md describes the messages.
namespace quv {

// The command of a library request: "SERVER_IMPLEMENTS_LIBRARY_3 <library>".
inline constexpr std::string_view kServerImplementsLibrary = "SERVER_IMPLEMENTS_LIBRARY_3";
// The markers of locator messages: "#COMMAND#" + body + "#END#" asks,
// "#RESPONSE#" + body + "#END#" answers, optionally followed by the validity
// suffix "#TIMEOUT" + 6 decimal digits (ms) + 1 closing character.
inline constexpr std::string_view kCommandStart = "#COMMAND#";
inline constexpr std::string_view kResponseStart = "#RESPONSE#";
inline constexpr std::string_view kMessageEnd = "#END#";
inline constexpr std::string_view kValidityTag = "#TIMEOUT";
inline constexpr std::size_t kValidityDigits = 6;
inline constexpr std::size_t kValiditySuffixSize = 15;
// The cross-process lock the unit holds open for the life of the process.
inline constexpr const char* kLocatorLockName = "QUV_SERVER_LOCATOR_LOCK";

// An answer: the server address and the tick count at which it expires.
struct TAddrCacheInfo {
  std::string Address;
  uint32_t Expiry = 0;  // 0: never
};

// "#COMMAND#" + body + "#END#".
std::string LocatorMessage(std::string_view body);

// "#RESPONSE#<word> <address>#END#", optionally followed by the validity
// suffix "#TIMEOUT" + 6 digits (ms) + 1 character, which sets the expiry from
// the platform clock. A text that is not such a response gives an empty address.
TAddrCacheInfo ParseLocatorResponse(std::string_view response);

// Makes the process-wide address cache, the locator's named lock and the
// list of this machine's names.
std::unique_ptr<TScopePart> MakeLocatorCache();

// The process-wide address cache, keyed by request text without regard to
// case. Thread-safe.
// The cached address of `request`, false when there is none or it expired
// (an expired entry is removed).
bool LookupAddress(const std::string& request, std::string& address);
void StoreAddress(const std::string& request, const TAddrCacheInfo& info);
void ClearAddressCache();

// Whether `name` is this machine's host name, one of its IPv4 addresses,
// "LOCALHOST" or "127.0.0.1", without regard to case. Thread-safe.
bool IsLocalName(std::string_view name);

// Text order without regard to case.
struct TTextLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// One query for a server: used by the thread that made it.
class TLocator final {
 public:
  // `udpWaitMs` bounds each wait for a broadcast answer.
  explicit TLocator(int32_t udpWaitMs = kUdpReceiveWaitMs);
  ~TLocator();
  TLocator(const TLocator&) = delete;
  TLocator& operator=(const TLocator&) = delete;

  // Fills Responses() with the answers to `request`; false when none came.
  // Raises when forced locator servers do not answer, and passes their
  // connection errors and the socket errors of the broadcast on.
  bool Query(const std::string& request);
  // Sorted without regard to case, without duplicates.
  const std::set<std::string, TTextLess>& Responses() const { return FResponses; }

 private:
  bool AskForcedLocators(const std::string& forced, const std::string& request);
  // The answer of the locator server at `address`; an empty address when it gave none.
  TAddrCacheInfo AskLocatorServer(const std::string& address, const std::string& request);
  bool Broadcast(const std::string& request);
  // Caches and adds a non-empty answer; false for an empty one.
  bool Answer(const std::string& request, const TAddrCacheInfo& info);

  int32_t FUdpWait;
  std::unique_ptr<TUdp> FUdp;  // made on first need
  std::set<std::string, TTextLess> FResponses;
};

// The server address for `command` + " " + `name`: the text before a ':' in
// the name as it stands, else the locator's first answer (for the name cut
// before a '!') without what precedes a '%'. Raises "Servidor para serviço "
// + name + " não encontrado" when nothing answered.
std::string Resolve(const std::string& command, const std::string& name,
                    int32_t udpWaitMs = kUdpReceiveWaitMs);

// Forgets the cached server of the library of `name` (the text before its
// first ':' or, without one, before its first '.').
void Invalidate(const std::string& name);

}  // namespace quv
