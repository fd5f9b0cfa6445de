#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "app/BlockingRefresh.h"
#include "app/FleetMetrics.h"
#include "app/FleetView.h"
#include "app/HostConfig.h"
#include "app/Recorder.h"

namespace quv {

// The refresh cycle without a window (`quvtasks --serve`): the task list at
// the window's task-tab pace and the session list at its session-tab pace,
// over one host list, with the window's refresh, deadlines and host
// handling. Each refresh is read into the view model; every server whose
// state changes gets one line in the log ("quvtasks: B (10.0.0.6): sem
// conexão: <cause>"). Runs on a thread of its own from Start until Stop or
// destruction, which waits for the refresh in flight (bounded by its
// deadline) and joins. Time goes through the process clock. "calls",
// "probe" and "log" must outlive it.
class TFleetWatch final {
 public:
  TFleetWatch(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe,
              std::ostream& log);
  ~TFleetWatch();
  TFleetWatch(const TFleetWatch&) = delete;
  TFleetWatch& operator=(const TFleetWatch&) = delete;

  // Each refresh is handed to `recorder` as well (none: nothing is
  // recorded); set before Start. The recorder must outlive the watch.
  void SetRecorder(TRecorder* recorder) { FRecorder = recorder; }
  // Each refresh (and the recorder's counts) is handed to `metrics` as well;
  // set before Start. The metrics must outlive the watch.
  void SetMetrics(TFleetMetrics* metrics) { FMetrics = metrics; }
  void Start();
  void Stop();
  // Refreshes done so far, of both lists.
  std::size_t RefreshCount() const { return FRefreshCount.load(); }

 private:
  void Run();
  void RefreshList(bool sessions);
  void LogChanges(const std::vector<THostState>& before);
  void Record(bool sessions);
  void Measure(bool sessions, uint32_t durationMs);
  bool Stopping();

  TBlockingRefresh FRefresh;
  TFleetView FView;
  std::ostream& FLog;
  TRecorder* FRecorder = nullptr;
  TFleetMetrics* FMetrics = nullptr;
  bool FRecordingFailed = false;
  std::atomic<std::size_t> FRefreshCount{0};
  std::mutex FLock;  // guards FStopping
  std::condition_variable FStopRequested;
  bool FStopping = false;
  std::thread FThread;
};

}  // namespace quv
