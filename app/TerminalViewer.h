#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/CancelAuditLog.h"
#include "app/CancelRunner.h"
#include "app/FleetView.h"
#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/Recorder.h"
#include "app/RefreshSchedule.h"
#include "app/RefreshT.h"
#include "app/RemoteCalls.h"
#include "app/TerminalScreen.h"
#include "platform/InputWait.h"
#include "platform/WorkerPool.h"

namespace quv {

class TTerminalDisplay;

// The viewer on a terminal (`quvtasks --tui`): the window's lists, server
// pane, refresh cycle, cancels and audit log, drawn by a TTerminalDisplay.
// Refreshes run on their own threads and cancels on the cancel runner's, so
// keys are answered while a server keeps a call waiting; what they deliver
// is handed to the terminal's thread through a mailbox. "calls" and "probe"
// must outlive the viewer; destroying it interrupts the calls still running
// and joins every thread. One thread (Run's).
class TTerminalViewer final {
 public:
  TTerminalViewer(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe);
  ~TTerminalViewer();
  TTerminalViewer(const TTerminalViewer&) = delete;
  TTerminalViewer& operator=(const TTerminalViewer&) = delete;

  // Shows the fleet until the operator quits, SIGINT or SIGTERM arrives or
  // the terminal goes away; the terminal is given back as it was on every
  // way out, an exception included.
  void Run();

 private:
  struct TRefreshSlot {
    std::unique_ptr<TRefreshT> Worker;
    bool Shown = false;
  };
  struct TDelivery {
    TRefreshT* Worker;
    TFleetRead Read;
  };

  bool Handle(int key);
  void FollowSchedule(bool restart);
  uint32_t WaitMs() const;
  void StartRefresh();
  std::size_t RefreshesInFlight() const;
  void TakeDeliveries();
  void ShowRefresh(TRefreshT& worker, TFleetRead read);
  void ShowLive();
  void Record(bool sessions);
  void SubmitCancels();
  void TakeOutcomes();
  void ShowHistory(const std::string& instant);
  void UpdateStatus();

  IRemoteCalls& FCalls;
  IHostProbe& FProbe;
  TWorkerPool FHostWorkers{TRefreshT::kMaxConcurrentHosts - 1};
  THostCallTable FHostTable;
  TCancelAuditLog FAuditLog;
  const std::string FRecordFile;
  std::unique_ptr<TRecorder> FRecorder;  // none: nothing is recorded
  const bool FFoldNoConnection;
  TFleetView FView;
  TRefreshSchedule FSchedule;
  TTerminalScreen FScreen;
  bool FTimerActive = false;
  uint32_t FDue = 0;  // tick count of the countdown's end
  TInputWait FWait;
  std::mutex FLock;  // guards the mailbox: what the threads delivered
  std::vector<TDelivery> FDelivered;
  std::vector<TCancelOutcome> FOutcomes;
  // Its handler and the refreshes' use the mailbox above: declared after it.
  TCancelRunner FCancels{FCalls, FAuditLog};
  std::vector<TRefreshSlot> FRefreshes;
};

}  // namespace quv
