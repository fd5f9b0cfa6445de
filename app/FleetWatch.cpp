#include "app/FleetWatch.h"

#include <algorithm>

#include "app/RefreshSchedule.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"

namespace quv {

TFleetWatch::TFleetWatch(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe,
                         std::ostream& log)
    : FRefresh(config.Hosts, calls, probe), FView(config.Hosts, config.FoldNoConnection),
      FLog(log) {}

TFleetWatch::~TFleetWatch() { Stop(); }

void TFleetWatch::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
}

void TFleetWatch::Stop() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FStopping = true;
  }
  FStopRequested.notify_all();
  if (FThread.joinable()) FThread.join();
}

bool TFleetWatch::Stopping() {
  std::lock_guard<std::mutex> guard(FLock);
  return FStopping;
}

void TFleetWatch::Run() {
  TClock& clock = Clock();
  uint32_t tasksDue = clock.TickCount();
  uint32_t sessionsDue = tasksDue;
  while (!Stopping()) {
    if (TickHasCome(clock.TickCount(), tasksDue)) {
      RefreshList(false);
      tasksDue = clock.TickCount() + TRefreshSchedule::kTaskInterval;
    }
    if (!Stopping() && TickHasCome(clock.TickCount(), sessionsDue)) {
      RefreshList(true);
      sessionsDue = clock.TickCount() + TRefreshSchedule::kSessionInterval;
    }
    const uint32_t now = clock.TickCount();
    const auto untilDue = [now](uint32_t due) {
      return TickHasCome(now, due) ? 0u : due - now;
    };
    std::unique_lock<std::mutex> lock(FLock);
    WaitOnClock(lock, FStopRequested, std::min(untilDue(tasksDue), untilDue(sessionsDue)),
                [this] { return FStopping; });
  }
}

void TFleetWatch::RefreshList(bool sessions) {
  std::vector<THostState> before;
  for (const THostRow& host : FView.HostRows()) before.push_back(host.Status.State);
  const uint32_t started = Clock().TickCount();
  TRefreshT& refresh = FRefresh.Run(sessions);
  if (!refresh.ErrorText().empty()) FLog << "quvtasks: " << Cp1252ToUtf8(refresh.ErrorText()) << '\n';
  if (!FView.TakeRefresh(refresh))
    FLog << "quvtasks: " << Cp1252ToUtf8(FView.ReadError()) << '\n';
  const uint32_t durationMs = Clock().TickCount() - started;
  LogChanges(before);
  if (FRecorder) Record(sessions);
  if (FMetrics) Measure(sessions, durationMs);
  FLog.flush();
  ++FRefreshCount;
}

void TFleetWatch::Record(bool sessions) {
  FRecorder->Submit(RefreshToRecord(FView, sessions, Clock().Now()));
  // A recorder that failed is named once; the watch goes on without it.
  const std::string failure = FRecorder->Failure();
  if (!failure.empty() && !FRecordingFailed) {
    FRecordingFailed = true;
    FLog << "quvtasks: recording stopped: " << failure << '\n';
  }
}

void TFleetWatch::Measure(bool sessions, uint32_t durationMs) {
  FMetrics->TakeRefresh(FView, sessions, durationMs);
  if (FRecorder) FMetrics->TakeRecorderCounts(FRecorder->Written(), FRecorder->Dropped());
}

void TFleetWatch::LogChanges(const std::vector<THostState>& before) {
  const std::vector<THostRow>& hosts = FView.HostRows();
  for (std::size_t i = 0; i < hosts.size() && i < before.size(); ++i)
    if (hosts[i].Status.State != before[i])
      FLog << "quvtasks: " << Cp1252ToUtf8(HostStateLine(hosts[i])) << '\n';
}

}  // namespace quv
