#include "transport/quvlocatorclient.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/Exception.h"
#include "platform/NamedMutex.h"
#include "platform/StrUtils.h"
#include "platform/Sync.h"
#include "platform/SystemInfo.h"
#include "transport/logfiles.h"
#include "transport/quvClientCfg.h"
#include "transport/quvClientConn.h"
#include "transport/quvpack.h"

namespace quv {

namespace {

// The most broadcast answers read, and the time they are read for in receive waits.
constexpr int32_t kMaxBroadcastReplies = 64;
constexpr uint32_t kMaxGatherWaits = 4;

// This machine's host name and IPv4 addresses; a failing query adds nothing.
std::vector<std::string> GatherLocalNames() {
  std::vector<std::string> names = HostNamesAndAddresses();
  names.emplace_back("LOCALHOST");
  names.emplace_back("127.0.0.1");
  return names;
}

// What the unit keeps for the life of the process.
struct TLocatorState {
  TNamedMutex NamedLock{kLocatorLockName};  // held open only; never waited on
  TCriticalSection Lock;                    // guards the two below
  std::map<std::string, TAddrCacheInfo, TTextLess> Cache;
  std::vector<std::string> LocalNames = GatherLocalNames();
};

constinit TProcessSlot<TLocatorState> gState("server locator cache");

TLocatorState& State() { return *gState; }

// Whether tick `expiry` lies after tick `now` (ticks wrap around).
bool IsLater(uint32_t expiry, uint32_t now) { return static_cast<int32_t>(expiry - now) > 0; }

// The expiry `validityMs` from now; never 0, which means "never".
uint32_t ExpiryAfter(int32_t validityMs) {
  const uint32_t expiry = Clock().TickCount() + static_cast<uint32_t>(validityMs);
  return expiry != 0 ? expiry : 1;
}

// `text` without blanks and control bytes at both ends.
std::string_view Trim(std::string_view text) {
  const auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The text after the first '%' (after the last one when `all` is set); all of
// it without one.
std::string_view AfterPercent(std::string_view text, bool all) {
  const std::size_t percent = all ? text.rfind('%') : text.find('%');
  return percent == std::string_view::npos ? text : text.substr(percent + 1);
}

// `address` with its host written "localhost" when it names this machine; a
// ":port" after it stays.
std::string LocalAsLocalhost(std::string_view address) {
  const std::size_t colon = address.find(':');
  if (!IsLocalName(address.substr(0, colon))) return std::string(address);
  return "localhost" + std::string(colon == std::string_view::npos ? "" : address.substr(colon));
}

// `text` up to (not including) the first `separator`; all of it without one.
std::string_view Before(std::string_view text, char separator) {
  return text.substr(0, text.find(separator));
}

std::string LibraryRequest(std::string_view command, std::string_view library) {
  std::string request(command);
  request += ' ';
  request += library;
  return request;
}

}  // namespace

std::unique_ptr<TScopePart> MakeLocatorCache() { return gState.Make(); }

bool TTextLess::operator()(const std::string& a, const std::string& b) const {
  return AnsiCompareText(a, b) < 0;
}

std::string LocatorMessage(std::string_view body) {
  std::string message(kCommandStart);
  message += body;
  message += kMessageEnd;
  return message;
}

TAddrCacheInfo ParseLocatorResponse(std::string_view response) {
  TAddrCacheInfo info;
  if (response.size() >= kValiditySuffixSize) {
    const std::string_view suffix = response.substr(response.size() - kValiditySuffixSize);
    if (suffix.starts_with(kValidityTag)) {
      const std::string_view digits = suffix.substr(kValidityTag.size(), kValidityDigits);
      info.Expiry = ExpiryAfter(StrToIntDef(digits, 0));
      response.remove_suffix(kValiditySuffixSize);
    }
  }
  // The start and end markers must not overlap.
  if (response.size() < kResponseStart.size() + kMessageEnd.size() ||
      !response.starts_with(kResponseStart) || !response.ends_with(kMessageEnd))
    return info;
  std::string_view body = response.substr(
      kResponseStart.size(), response.size() - kResponseStart.size() - kMessageEnd.size());
  if (const std::size_t blank = body.find(' '); blank != std::string_view::npos)
    body.remove_prefix(blank + 1);
  info.Address = body;
  return info;
}

bool LookupAddress(const std::string& request, std::string& address) {
  TLocatorState& state = State();
  std::lock_guard<TCriticalSection> guard(state.Lock);
  const auto found = state.Cache.find(request);
  if (found == state.Cache.end()) return false;
  const uint32_t expiry = found->second.Expiry;
  if (expiry != 0 && !IsLater(expiry, Clock().TickCount())) {
    state.Cache.erase(found);
    return false;
  }
  address = found->second.Address;
  return true;
}

void StoreAddress(const std::string& request, const TAddrCacheInfo& info) {
  TLocatorState& state = State();
  std::lock_guard<TCriticalSection> guard(state.Lock);
  state.Cache.insert_or_assign(request, info);
}

void ClearAddressCache() {
  TLocatorState& state = State();
  std::lock_guard<TCriticalSection> guard(state.Lock);
  state.Cache.clear();
}

bool IsLocalName(std::string_view name) {
  TLocatorState& state = State();
  std::lock_guard<TCriticalSection> guard(state.Lock);
  return std::any_of(state.LocalNames.begin(), state.LocalNames.end(),
                     [&](const std::string& local) { return AnsiCompareText(local, name) == 0; });
}

TLocator::TLocator(int32_t udpWaitMs) : FUdpWait(udpWaitMs) {}

TLocator::~TLocator() = default;

bool TLocator::Query(const std::string& request) {
  Log(1, "LOCATOR_START " + request, "QUVCLIENT");
  FResponses.clear();
  std::string cached;
  if (LookupAddress(request, cached)) {
    FResponses.insert(cached);
    return true;
  }
  if (const std::size_t at = request.find('@'); at != std::string::npos)
    return Answer(request, TAddrCacheInfo{request.substr(at + 1), 0});
  const std::string forced = TquvClientCfg::ForceAddress();
  if (!forced.empty()) return AskForcedLocators(forced, request);
  return Broadcast(request);
}

bool TLocator::AskForcedLocators(const std::string& forced, const std::string& request) {
  const std::string_view list = forced;
  for (std::size_t start = 0; start <= list.size();) {
    const std::size_t end = std::min(list.find(';', start), list.size());
    const std::string_view entry = Trim(list.substr(start, end - start));
    if (!entry.empty() && Answer(request, AskLocatorServer(std::string(entry), request)))
      return true;
    start = end + 1;
  }
  throw Exception(std::string("Os servidores de localização \""_cp) + forced +
                  std::string("\" não implementam "_cp) + request + ".");
}

TAddrCacheInfo TLocator::AskLocatorServer(const std::string& address, const std::string& request) {
  std::string reply;
  {
    TClientConn connection(address, true);
    TquvPackage package(connection);
    TquvPackageWriter(package).SendLocatorRequest(LocatorMessage(request + " " + address));
    reply = TquvPackageReader(package).ReadText();
  }
  if (reply.empty()) return {};
  TAddrCacheInfo info = ParseLocatorResponse(reply);
  info.Address = LocalAsLocalhost(AfterPercent(info.Address, true));
  return info;
}

bool TLocator::Broadcast(const std::string& request) {
  if (!FUdp) FUdp = std::make_unique<TUdp>(TquvClientCfg::LocatorPort(), FUdpWait);
  TUdpMsg message;
  message.Host = TquvClientCfg::LocatorAddress();
  message.Data = LocatorMessage(request);
  FUdp->Send(message);
  // A peer that keeps sending must not hold the query or fill memory.
  const uint32_t start = Clock().TickCount();
  const uint32_t gatherLimit = static_cast<uint32_t>(FUdp->ReceiveWait()) * kMaxGatherWaits;
  TAddrCacheInfo last;
  TUdpMsg reply;
  for (int32_t count = 0; count < kMaxBroadcastReplies &&
                          Clock().TickCount() - start < gatherLimit && FUdp->Receive(reply);
       ++count) {
    TAddrCacheInfo info = ParseLocatorResponse(reply.Data);
    if (info.Address.empty()) continue;
    FResponses.insert(info.Address);
    last = info;
  }
  if (FResponses.empty()) return false;
  StoreAddress(request, TAddrCacheInfo{*FResponses.begin(), last.Expiry});
  return true;
}

bool TLocator::Answer(const std::string& request, const TAddrCacheInfo& info) {
  if (info.Address.empty()) return false;
  StoreAddress(request, info);
  FResponses.insert(info.Address);
  return true;
}

std::string Resolve(const std::string& command, const std::string& name, int32_t udpWaitMs) {
  if (name.find(':') != std::string::npos) return std::string(Before(name, ':'));
  TLocator locator(udpWaitMs);
  if (!locator.Query(LibraryRequest(command, Before(name, '!'))))
    throw Exception(std::string("Servidor para serviço "_cp) + name +
                    std::string(" não encontrado"_cp));
  return std::string(AfterPercent(*locator.Responses().begin(), false));
}

void Invalidate(const std::string& name) {
  const std::string_view library =
      name.find(':') != std::string::npos ? Before(name, ':') : Before(name, '.');
  TLocatorState& state = State();
  std::lock_guard<TCriticalSection> guard(state.Lock);
  state.Cache.erase(LibraryRequest(kServerImplementsLibrary, library));
}

}  // namespace quv
