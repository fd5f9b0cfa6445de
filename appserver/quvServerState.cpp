#include "appserver/quvServerState.h"

#include <cstdio>

#include "platform/Clock.h"
#include "platform/StrUtils.h"

namespace quv {

namespace {

constexpr std::string_view kSessionKeyPrefix = "sessionkey=";
constexpr std::string_view kSystemLibraryPrefix = "quvsystem.";

bool IsSystemCommand(std::string_view method) {
  return AnsiLowerCase(method.substr(0, kSystemLibraryPrefix.size())) == kSystemLibraryPrefix;
}

}  // namespace

std::string QuotedText(std::string_view text) { return LeftStr(text, kLongestQuotedText); }

std::string UnknownSessionText(std::string_view key) {
  return std::string("Sessão não encontrada: "_cp) + QuotedText(key);
}

std::string SessionKeyOfContext(std::string_view context) {
  if (context.substr(0, kSessionKeyPrefix.size()) != kSessionKeyPrefix) return {};
  context.remove_prefix(kSessionKeyPrefix.size());
  const std::size_t end = context.find_first_of("\r\n");
  // A longer key names no session, and the refusal shows no more of it.
  return QuotedText(context.substr(0, end));
}

TServerState::TServerState(uint64_t keySeed, TTaskLog* taskLog)
    : FTaskLog(taskLog), FKeys(keySeed) {}

uint64_t TServerState::AddRequest(const TquvCommandHeader& header, std::string client,
                                  std::string& sessionKey, TCallControl& control) {
  std::lock_guard<std::mutex> guard(FLock);
  if (!FSessions.contains(sessionKey)) sessionKey.clear();
  const uint64_t handle = FNextHandle++;
  FRequests.emplace(handle,
                    TRequestEntry{header.RequestNumber, std::move(client), header.MethodName,
                                  Clock().TickCount(), sessionKey, false, &control});
  if (FTaskLog) FTaskLog->Started(handle, header.RequestNumber, header.MethodName);
  return handle;
}

void TServerState::RemoveRequest(uint64_t handle) {
  std::lock_guard<std::mutex> guard(FLock);
  const auto entry = FRequests.find(handle);
  if (entry == FRequests.end()) return;
  if (FTaskLog) FTaskLog->Ended(handle, entry->second.RequestNumber, entry->second.Method);
  FRequests.erase(entry);
}

std::vector<TRequestInfo> TServerState::Requests() const {
  std::lock_guard<std::mutex> guard(FLock);
  const uint32_t now = Clock().TickCount();
  std::vector<TRequestInfo> rows;
  rows.reserve(FRequests.size());
  for (const auto& [handle, entry] : FRequests) {
    const auto session = FSessions.find(entry.SessionKey);
    rows.push_back({entry.RequestNumber, entry.Client, entry.Method, now - entry.ArrivalTick,
                    IsSystemCommand(entry.Method),
                    session == FSessions.end() ? std::string() : session->second.UserName,
                    entry.Cancelled});
  }
  return rows;
}

bool TServerState::CancelRequest(int32_t requestNumber) {
  std::lock_guard<std::mutex> guard(FLock);
  bool found = false;
  for (auto& [handle, entry] : FRequests) {
    if (entry.RequestNumber != requestNumber) continue;
    CancelEntry(entry);
    found = true;
  }
  return found;
}

void TServerState::CancelEntry(TRequestEntry& entry) {
  entry.Cancelled = true;
  entry.Control->CancelCall();
}

std::string TServerState::OpenSession(std::string userName, std::string licence,
                                      std::string source) {
  std::lock_guard<std::mutex> guard(FLock);
  std::string key = NewSessionKey();
  FSessions.emplace(key, TSessionEntry{FNextHandle++, std::move(userName), Clock().Now(),
                                       std::move(source), std::move(licence)});
  return key;
}

std::string TServerState::NewSessionKey() {
  for (;;) {
    char key[40];
    std::snprintf(key, sizeof key, "%016llX%016llX", static_cast<unsigned long long>(FKeys()),
                  static_cast<unsigned long long>(FKeys()));
    if (!FSessions.contains(key)) return key;
  }
}

bool TServerState::CloseSession(const std::string& key) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FSessions.erase(key) == 0) return false;
  for (auto& [handle, entry] : FRequests)
    if (entry.SessionKey == key) CancelEntry(entry);
  return true;
}

bool TServerState::SessionOpen(const std::string& key) const {
  std::lock_guard<std::mutex> guard(FLock);
  return FSessions.contains(key);
}

std::vector<TSessionInfo> TServerState::Sessions() const {
  std::lock_guard<std::mutex> guard(FLock);
  std::map<uint64_t, TSessionInfo> byLogon;
  for (const auto& [key, session] : FSessions)
    byLogon.emplace(session.Order, TSessionInfo{key, session.UserName, session.CreationTime, false,
                                                session.Source, session.Licence});
  std::vector<TSessionInfo> rows;
  for (auto& [order, row] : byLogon) {
    for (const auto& [handle, entry] : FRequests)
      row.Active = row.Active || entry.SessionKey == row.Key;
    rows.push_back(std::move(row));
  }
  return rows;
}

TRequestRegistration::TRequestRegistration(TServerState& state, const TquvCommandHeader& header,
                                           std::string_view context, const std::string& peer,
                                           TCallControl& control)
    : FState(state), FSessionKey(SessionKeyOfContext(context)) {
  const std::string named = FSessionKey;
  FHandle = FState.AddRequest(header, peer, FSessionKey, control);
  if (FSessionKey != named) FRefusal = UnknownSessionText(named);
}

TRequestRegistration::~TRequestRegistration() { FState.RemoveRequest(FHandle); }

bool TRequestRegistration::SessionClosed() const {
  return !FSessionKey.empty() && !FState.SessionOpen(FSessionKey);
}

}  // namespace quv
