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

std::string StateText(const THostStatus& status) {
  return std::string(HostStateText(status.State));
}

uint64_t TaskKey(int64_t server, int32_t requestId) {
  return uint64_t(static_cast<uint32_t>(server)) << 32 | static_cast<uint32_t>(requestId);
}

std::string SessionKey(int64_t server, const std::string& key) {
  const auto server32 = static_cast<uint32_t>(server);
  return std::string(reinterpret_cast<const char*>(&server32), sizeof server32) + key;
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
    refresh.Tasks = view.SharedTasks();
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
  std::vector<TRecordedRefresh> written;  // freed here, after the lock
  {
    std::lock_guard<std::mutex> guard(FLock);
    written.swap(FWrittenRefreshes);
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
    FWrittenRefreshes.push_back(std::move(refresh));
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
    FWriter.SetLastRefresh(refresh.Sessions, now);
    FWriter.Prune(refresh.When - FRetentionDays, FMaxBytes);
    FWriter.Commit();
  } catch (...) {
    FWriter.Rollback();
    throw;
  }
}

void TRecorder::RecordStates(const TRecordedRefresh& refresh) {
  FHostServers.clear();
  for (const THostRow& host : refresh.Hosts) {
    const int64_t server = FWriter.ServerId(host.Line);
    FHostServers.push_back(server);
    const auto [last, added] = FLastState.try_emplace(server, host.Status.State);
    if (!added && last->second == host.Status.State) continue;
    last->second = host.Status.State;
    FWriter.AddServerEvent(server, refresh.When, StateText(host.Status), host.Status.Cause);
  }
}

// The server id of a row, from its host's index (the rows' host line when
// that is out of range).
int64_t TRecorder::ServerOfRow(const TRecordedRefresh& refresh, std::size_t host,
                               const std::string& line) {
  return host < refresh.Hosts.size() ? FHostServers[host] : FWriter.ServerId(line);
}

void TRecorder::RecordTasks(const TRecordedRefresh& refresh, int64_t now) {
  if (refresh.Tasks) {
    for (const TTaskRow& row : *refresh.Tasks) {
      if (row.NoConnection) continue;
      const int64_t server = ServerOfRow(refresh, row.Host, row.HostLine);
      const auto [span, added] = FOpenTasks.try_emplace(TaskKey(server, row.RequestId));
      if (added) {
        FWriter.AddTask(now, server, row);
        span->second = {{now, now, server, TaskFlags(row), false}, row.RequestId};
      } else {
        span->second.LastSeen = now;
        span->second.Flags |= TaskFlags(row);
      }
    }
  }
  CloseUnseen(
      refresh, now, FOpenTasks, FCancelledTasks,
      [this](const TOpenTask& span) {
        FWriter.MarkLongTask(span.FirstSeen, span.Server, span.RequestId);
      },
      [this](const TOpenTask& span, const TSpanClose& close) {
        FWriter.CloseTask(span.FirstSeen, span.Server, span.RequestId, span.Flags, close);
      });
}

void TRecorder::RecordSessions(const TRecordedRefresh& refresh, int64_t now) {
  for (const TSessionRow& row : refresh.SessionRows) {
    if (row.NoConnection) continue;
    const int64_t server = ServerOfRow(refresh, row.Host, row.HostLine);
    const auto [span, added] = FOpenSessions.try_emplace(SessionKey(server, row.SessionKey));
    if (added) {
      FWriter.AddSession(now, server, row);
      span->second = {{now, now, server, int64_t{row.Active}, false}, row.SessionKey};
    } else {
      span->second.LastSeen = now;
      span->second.Flags = row.Active;
    }
  }
  CloseUnseen(
      refresh, now, FOpenSessions, FCancelledSessions,
      [this](const TOpenSession& span) {
        FWriter.MarkLongSession(span.FirstSeen, span.Server, span.Key);
      },
      [this](const TOpenSession& span, const TSpanClose& close) {
        FWriter.CloseSession(span.FirstSeen, span.Server, span.Key, span.Flags != 0, close);
      });
}

// Spans of the refreshed list that it no longer listed have ended: cancelled
// when a cancel of ours succeeded, gone when their server answered, else lost
// with it. Those it listed are marked long once they have run longer than a
// short span.
template <typename TSpans, typename TMarkLong, typename TClose>
void TRecorder::CloseUnseen(const TRecordedRefresh& refresh, int64_t now, TSpans& open,
                            std::unordered_set<typename TSpans::key_type>& cancelled,
                            TMarkLong markLong, TClose close) {
  std::unordered_set<int64_t> answering;
  for (std::size_t i = 0; i < refresh.Hosts.size(); ++i)
    if (refresh.Hosts[i].Status.State == THostState::Answering) answering.insert(FHostServers[i]);
  for (auto it = open.begin(); it != open.end();) {
    auto& span = it->second;
    if (span.LastSeen == now) {
      if (!span.Long && now - span.FirstSeen > kShortSpanMs) {
        markLong(span);
        span.Long = true;
      }
      ++it;
      continue;
    }
    TSpanClose ended{span.LastSeen - span.FirstSeen, now - span.LastSeen, TSpanEnd::ServerLost};
    if (cancelled.erase(it->first) > 0)
      ended.End = TSpanEnd::Cancelled;
    else if (answering.contains(span.Server))
      ended.End = TSpanEnd::Gone;
    close(span, ended);
    it = open.erase(it);
  }
  // A cancel whose span is no longer open ends nothing more.
  std::erase_if(cancelled, [&open](const auto& key) { return !open.contains(key); });
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
      FCancelledTasks.insert(TaskKey(server, StrToIntDef(target.ParamValue, kNotANumber)));
    else
      FCancelledSessions.insert(SessionKey(server, target.ParamValue));
  }
}

}  // namespace quv
