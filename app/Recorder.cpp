#include "app/Recorder.h"

#include <algorithm>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"
#include "platform/StrUtils.h"

namespace quv {

namespace {

// Named apart: clang 14 crashes on some code-page literals inside expressions.
constexpr std::string_view kTaskKind = "tarefa";
constexpr std::string_view kSessionKind = "sessão"_cp;

std::string StateText(const THostStatus& status) { return std::string(HostStateText(status.State)); }

// The key of an open span: its server's id and its request id or session key.
std::string SpanKey(int64_t server, const std::string& id) {
  const auto server32 = static_cast<uint32_t>(server);
  return std::string(reinterpret_cast<const char*>(&server32), sizeof server32) + id;
}

std::string SpanKey(int64_t server, int32_t requestId) {
  return SpanKey(server, std::string(reinterpret_cast<const char*>(&requestId), sizeof requestId));
}

}  // namespace

TRecordedRefresh RefreshToRecord(const TFleetView& view, bool sessions, double when) {
  TRecordedRefresh refresh;
  refresh.When = when;
  refresh.Sessions = sessions;
  refresh.Hosts = view.HostRows();
  if (sessions)
    refresh.SessionRows = view.Sessions().Sessions;
  else
    refresh.Tasks = view.Tasks();
  return refresh;
}

TRecorder::TRecorder(const std::string& fileName, std::size_t maxQueued, double retentionDays,
                     int64_t maxBytes)
    : FFile(fileName, true),
      FWriter(FFile),
      FMaxQueued(maxQueued),
      FRetentionDays(retentionDays),
      FMaxBytes(maxBytes) {
  try {
    FWriter.Begin();
    FWriter.CloseLeftOpen();
    FWriter.Commit();
  } catch (const std::exception& e) {
    FWriter.Rollback();
    throw ERecorderError(fileName + ": " + e.what());
  }
  FThread = std::thread([this] { Run(); });
}

TRecorder::~TRecorder() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStopping = true;
  }
  FQueued.notify_all();
  FThread.join();
}

bool TRecorder::Submit(TRecordedRefresh refresh) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FQueue.size() >= FMaxQueued || !FFailure.empty()) {
      ++FDropped;
      return false;
    }
    FQueue.push_back(std::move(refresh));
  }
  FQueued.notify_one();
  return true;
}

void TRecorder::SubmitCancel(double when, const TCancelOutcome& outcome) {
  std::lock_guard<std::mutex> guard(FLock);
  FCancels.push_back({when, outcome});
}

std::size_t TRecorder::Written() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FWritten;
}

std::size_t TRecorder::Dropped() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FDropped;
}

std::string TRecorder::Failure() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFailure;
}

// Writes what is queued until asked to stop, then what is left.
void TRecorder::Run() {
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    FQueued.wait(lock, [this] { return FStopping || !FQueue.empty(); });
    if (FQueue.empty()) return;
    TRecordedRefresh refresh = std::move(FQueue.front());
    FQueue.pop_front();
    std::vector<TCancel> cancels = std::move(FCancels);
    FCancels.clear();
    lock.unlock();
    std::string failure;
    try {
      Write(refresh, cancels);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    lock.lock();
    if (failure.empty()) {
      ++FWritten;
    } else {
      FFailure = failure;
      FDropped += 1 + FQueue.size();
      FQueue.clear();
    }
  }
}

void TRecorder::Write(const TRecordedRefresh& refresh, const std::vector<TCancel>& cancels) {
  FWriter.Begin();
  try {
    FFile.EnsureEpoch(refresh.When);
    const int64_t now = FFile.ToMs(refresh.When);
    RecordCancels(cancels);
    RecordStates(refresh);
    if (refresh.Sessions)
      RecordSessions(refresh, now);
    else
      RecordTasks(refresh, now);
    CloseUnseen(refresh, now);
    FWriter.SetLastRefresh(refresh.Sessions, now);
    FWriter.Prune(refresh.When - FRetentionDays, FMaxBytes);
    FWriter.Commit();
  } catch (...) {
    FWriter.Rollback();
    throw;
  }
}

void TRecorder::RecordStates(const TRecordedRefresh& refresh) {
  for (const THostRow& host : refresh.Hosts) {
    const std::string state = StateText(host.Status);
    std::string& last = FLastState[host.Line];
    if (last == state) continue;
    last = state;
    FWriter.AddServerEvent(FWriter.ServerId(host.Line), refresh.When, state, host.Status.Cause);
  }
}

void TRecorder::RecordTasks(const TRecordedRefresh& refresh, int64_t now) {
  for (const TTaskRow& row : refresh.Tasks) {
    if (row.NoConnection) continue;
    const int64_t server = FWriter.ServerId(row.HostLine);
    const auto [span, added] = FOpen[0].try_emplace(SpanKey(server, row.RequestId));
    if (added) {
      FWriter.AddTask(now, server, row);
      span->second = {now, now, server, row.RequestId, {}, TaskFlags(row)};
    } else {
      span->second.LastSeen = now;
      span->second.Flags |= TaskFlags(row);
    }
  }
}

void TRecorder::RecordSessions(const TRecordedRefresh& refresh, int64_t now) {
  for (const TSessionRow& row : refresh.SessionRows) {
    if (row.NoConnection) continue;
    const int64_t server = FWriter.ServerId(row.HostLine);
    const auto [span, added] = FOpen[1].try_emplace(SpanKey(server, row.SessionKey));
    if (added) {
      FWriter.AddSession(now, server, row);
      span->second = {now, now, server, 0, row.SessionKey, int64_t{row.Active}};
    } else {
      span->second.LastSeen = now;
      span->second.Flags = row.Active;
    }
  }
}

// Spans of the refreshed list that it no longer listed have ended: cancelled
// when a cancel of ours succeeded, gone when their server answered, else lost
// with it.
void TRecorder::CloseUnseen(const TRecordedRefresh& refresh, int64_t now) {
  const bool sessions = refresh.Sessions;
  std::unordered_set<int64_t> answering;
  for (const THostRow& host : refresh.Hosts)
    if (host.Status.State == THostState::Answering) answering.insert(FWriter.ServerId(host.Line));
  std::unordered_set<std::string>& cancelled = FCancelled[sessions ? 1 : 0];
  TOpenSpans& open = FOpen[sessions ? 1 : 0];
  for (auto it = open.begin(); it != open.end();) {
    const TOpenSpan& span = it->second;
    if (span.LastSeen == now) {
      FWriter.AllowSpan(sessions, now - span.FirstSeen);
      ++it;
      continue;
    }
    TSpanClose close{span.LastSeen - span.FirstSeen, now - span.LastSeen, TSpanEnd::ServerLost};
    if (cancelled.erase(it->first) > 0)
      close.End = TSpanEnd::Cancelled;
    else if (answering.contains(span.Server))
      close.End = TSpanEnd::Gone;
    if (sessions)
      FWriter.CloseSession(span.FirstSeen, span.Server, span.SessionKey, span.Flags != 0, close);
    else
      FWriter.CloseTask(span.FirstSeen, span.Server, span.RequestId, span.Flags, close);
    it = open.erase(it);
  }
  // A cancel whose span is no longer open ends nothing more.
  std::erase_if(cancelled, [&open](const std::string& key) { return !open.contains(key); });
}

void TRecorder::RecordCancels(const std::vector<TCancel>& cancels) {
  for (const TCancel& cancel : cancels) {
    const TCancelTarget& target = cancel.Outcome.Target;
    const bool task = target.ParamName == "requestid";
    const int64_t server = FWriter.ServerId(target.HostLine);
    FWriter.AddCancel(server, cancel.When, std::string(task ? kTaskKind : kSessionKind),
                      target.ParamValue,
                      cancel.Outcome.Done() ? std::string("ok") : "falha: " + cancel.Outcome.Cause);
    if (!cancel.Outcome.Done()) continue;
    if (task)
      FCancelled[0].insert(SpanKey(server, StrToIntDef(target.ParamValue, kNotANumber)));
    else
      FCancelled[1].insert(SpanKey(server, target.ParamValue));
  }
}

}  // namespace quv
