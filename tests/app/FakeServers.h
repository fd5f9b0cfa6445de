#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/HostProbe.h"
#include "app/RemoteCalls.h"
#include "platform/Exception.h"

namespace quv::testing {

using TRow = std::map<std::string, std::string>;

// A reply made of literal rows; an unknown field raises like a recordset does.
class TTableReply final : public IReplyRows {
 public:
  explicit TTableReply(std::vector<TRow> rows) : FRows(std::move(rows)) {}
  bool Eof() const override { return FAt >= FRows.size(); }
  void Next() override { ++FAt; }
  std::string FieldText(const std::string& name) const override {
    const auto found = FRows.at(FAt).find(name);
    if (found == FRows.at(FAt).end()) throw Exception("Field '" + name + "' not found");
    return found->second;
  }
  std::vector<std::pair<std::string, std::string>> RowFields(std::size_t row) const override {
    return {FRows.at(row).begin(), FRows.at(row).end()};
  }

 private:
  std::vector<TRow> FRows;
  std::size_t FAt = 0;
};

inline std::unique_ptr<IReplyRows> Reply(std::vector<TRow> rows) {
  return std::make_unique<TTableReply>(std::move(rows));
}

// Servers that answer from tables set by the test; a host without a table
// fails its call. Records the cancel calls. Thread-safe.
class TFakeServers final : public IRemoteCalls, public IHostProbe {
 public:
  struct TCall {
    std::string Method, ParamName, ParamValue, Host;
  };
  void SetRows(const std::string& host, std::vector<TRow> rows) {
    std::lock_guard<std::mutex> guard(FLock);
    FTables[host] = std::move(rows);
  }
  void SetUnreachable(const std::string& host) {
    std::lock_guard<std::mutex> guard(FLock);
    FUnreachable.push_back(host);
  }
  std::vector<TCall> Calls() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FCalls;
  }
  int Prepared() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FPrepared;
  }
  // The cancel calls fail with this text from now on (none when empty).
  void SetCancelError(const std::string& text) {
    std::lock_guard<std::mutex> guard(FLock);
    FCancelError = text;
  }

  std::vector<std::string> Probes() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FProbes;
  }
  // From now on calls (to `host` only, when one is named) wait until ReleaseCalls.
  void HoldCalls(const std::string& host = "") {
    std::lock_guard<std::mutex> guard(FLock);
    FHeld.insert(host);
  }
  void ReleaseCalls() {
    std::lock_guard<std::mutex> guard(FLock);
    FHeld.clear();
    FReleased.notify_all();
  }
  // Releases the held calls, as an interrupted connection ends a real one.
  void InterruptCallsInFlight() override {
    ReleaseCalls();
    std::lock_guard<std::mutex> guard(FLock);
    ++FInterrupts;
  }
  int Interrupts() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FInterrupts;
  }
  // Calls that have begun, and calls that have returned or raised.
  int CallsStarted() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FStarted;
  }
  int CallsFinished() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FFinished;
  }

  void Probe(const std::string& address) override {
    std::lock_guard<std::mutex> guard(FLock);
    FProbes.push_back(address);
    for (const auto& host : FUnreachable)
      if (host == address) throw Exception("unreachable");
  }
  int TimeoutMs() const override { return 500; }
  int32_t RefreshCallTimeoutMs() const override { return 500; }
  void PrepareRefresh() override {
    std::lock_guard<std::mutex> guard(FLock);
    ++FPrepared;
  }
  std::unique_ptr<IReplyRows> ExecMethod(const std::string& method,
                                         const std::string& host) override {
    std::unique_lock<std::mutex> guard(FLock);
    ++FStarted;
    struct TFinished {
      int& Count;
      ~TFinished() { ++Count; }  // under the lock, which outlives it
    } finished{FFinished};
    FReleased.wait(guard, [&] { return !FHeld.count("") && !FHeld.count(host); });
    FCalls.push_back({method, "", "", host});
    const auto found = FTables.find(host);
    if (found == FTables.end()) throw Exception("Erro chamando " + method + ":no server");
    return Reply(found->second);
  }
  void ExecMethodValues(const std::string& method, const std::string& paramName,
                        const std::string& paramValue, const std::string& host) override {
    std::unique_lock<std::mutex> guard(FLock);
    FReleased.wait(guard, [&] { return !FHeld.count("") && !FHeld.count(host); });
    FCalls.push_back({method, paramName, paramValue, host});
    if (!FCancelError.empty()) throw Exception(FCancelError);
  }

 private:
  mutable std::mutex FLock;
  std::map<std::string, std::vector<TRow>> FTables;
  std::vector<std::string> FUnreachable;
  std::vector<std::string> FProbes;
  std::vector<TCall> FCalls;
  std::string FCancelError;
  std::condition_variable FReleased;
  std::set<std::string> FHeld;  // "" holds every host
  int FStarted = 0;
  int FFinished = 0;
  int FPrepared = 0;
  int FInterrupts = 0;
};

inline TRow Task(const std::string& id, const std::string& desc, const std::string& elapsed,
                 const std::string& user = "ana") {
  return {{"requestid", id},         {"clientdesc", "10.0.0.9:5000"}, {"requestdesc", desc},
          {"ellapsedtime", elapsed}, {"systemcmd", "false"},          {"username", user},
          {"cancelled", "false"}};
}

inline TRow Session(const std::string& key, const std::string& user, const std::string& licence) {
  return {{"sessionkey", key}, {"username", user},     {"creation_time", "46364.75"},
          {"active", "true"},  {"source", "10.0.0.7"}, {"licenceinfo", licence}};
}

}  // namespace quv::testing
