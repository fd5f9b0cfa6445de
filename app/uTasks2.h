#pragma once

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CancelAuditLog.h"
#include "app/CancelRunner.h"
#include "app/CancelTargets.h"
#include "app/DetailsPane.h"
#include "app/FleetView.h"
#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/HostStatus.h"
#include "app/Recorder.h"
#include "app/RefreshSchedule.h"
#include "app/RefreshT.h"
#include "app/RemoteCalls.h"
#include "app/RowTableModel.h"
#include "app/ServerPane.h"
#include "app/TaskRows.h"
#include "app/ViewState.h"

class QLabel;
class QLineEdit;
class QSplitter;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeView;

namespace quv {

namespace testing {
class TTasksWindowParts;
}  // namespace testing

// The viewer's main window: the task tab, the session and licence tab, the
// cancel button and the refresh timer; below them, behind a splitter, the
// server pane, and a strip with pause, refresh, the filter box, the cancel
// target, the last cancel's result and the fleet's health. A cancel acts
// only on the rows the operator selected, runs in the background and never
// holds up the window. "calls" and "probe" must outlive the window. UI
// thread only; closing the window interrupts the calls still running.
class TFTasks final : public QWidget {
 public:
  TFTasks(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe,
          QWidget* parent = nullptr);
  ~TFTasks() override;

  // Replace the standard message boxes (tests answer them instead).
  void SetErrorPresenter(std::function<void(const QString&)> presenter);
  void SetConfirmPresenter(std::function<bool(const QString&)> presenter);

  const std::vector<std::string>& Hosts() const { return FView.Hosts(); }
  // Refreshes started and not yet shown.
  std::size_t RefreshesInFlight() const;
  bool Paused() const { return FSchedule.Paused(); }
  // Cancels asked for whose outcome has not been shown yet.
  std::size_t CancelsInFlight() const { return FPending.size(); }

  // Event handlers.
  void FormResize();
  void Timer1Timer();
  void PageControl1Change();
  void vsTasksClick();
  void vsUsersScroll();
  void SpeedButton1Click();
  // Cancels the selected rows of the visible tab, after a confirmation
  // naming each when `confirm` is set.
  void CancelSelected(bool confirm);
  void TogglePause();
  void RefreshNow();
  // Both tabs back in their own row order.
  void ResetSort();
  // The selected rows of the visible tab as tab-separated text: the visible
  // columns' titles, then one line per row in view order.
  QString SelectedRowsText() const;
  void CopySelectedRows() const;
  void ShowKeyHelp();
  // Opens a window over the record file, at its latest instant; none
  // without one (the button is hidden then).
  void ShowHistory();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The window's parts, named as in the form. Tests reach them through
  // their one accessor.
  friend class testing::TTasksWindowParts;
  QTabWidget* PageControl1;
  QTreeView* vsTasks;
  QTreeView* vsUsers;
  QTreeView* vsLicences;
  TServerPane* vsHosts;
  QWidget* Panel1;
  QToolButton* SpeedButton1;
  QLabel* Label1;
  QLabel* StaticText1;
  QTimer* Timer1;
  QToolButton* PauseButton;
  QToolButton* RefreshButton;
  QToolButton* HostsButton;
  QLineEdit* FilterEdit;
  QLabel* FilterCount;
  QLabel* CancelTarget;
  QLabel* StatusStrip;
  QLabel* PauseBanner;
  QLabel* ActionResult;
  QSplitter* Splitter;
  TDetailsPane* Details;
  QToolButton* DetailsButton;
  QToolButton* HistoryButton;

  // A refresh, and whether the window has shown it.
  struct TRefreshSlot {
    std::unique_ptr<TRefreshT> Worker;
    bool Shown = false;
  };
  void FormCreate(const THostConfig& config);
  void BuildLayout(int hostWidth);
  QWidget* BuildStrip();
  void BuildShortcuts();
  template <typename Row>
  void SetUpSorting(QTreeView* tree, TRowTableModel<Row>* model, int defaultColumn);
  void FollowSchedule(bool restart);
  void StartRefresh();
  void RefreshDone(TRefreshT& worker, TFleetRead read);
  void ReapFinishedRefreshes();
  void ShowHostRows();
  void OpenRecorder(const std::string& fileName);
  void Record(bool sessions);
  void ReportReadError(const char* view) const;
  bool ShowTasks(TFleetRead read);
  bool ShowSessions(TFleetRead read);
  void SetTaskRows(std::shared_ptr<const std::vector<TTaskRow>> rows);
  void SetSessionRows(std::vector<TSessionRow> rows);
  void KeepFocus(const std::function<void()>& change);
  template <typename Row>
  void KeepSelection(QTreeView* tree, TRowTableModel<Row>* model,
                     bool (*same)(const Row&, const Row&), const std::function<void()>& change);
  void ApplyFilter();
  void UpdateCancelTarget();
  void UpdateFilterCount();
  void UpdateStatusStrip();
  std::vector<TCancelTarget> SelectedTargets() const;
  bool StillShown(const TCancelTarget& target) const;
  bool BeingCancelled(const TCancelTarget& target) const;
  void ShowCancelOutcome(const TCancelOutcome& outcome);
  void ShowPaused();
  void ShowDetails();
  void RestoreView();
  void SaveView() const;


  IRemoteCalls& FCalls;
  IHostProbe& FProbe;
  // Declared before FRefreshes, whose calls use them until they end: the
  // threads every refresh shares (none pays for starting threads), and which
  // host is being called.
  TWorkerPool FHostWorkers{TRefreshT::kMaxConcurrentHosts - 1};
  THostCallTable FHostTable;
  TViewState FViewState;
  TCancelAuditLog FAuditLog;
  TCancelRunner FCancels{FCalls, FAuditLog};
  std::unique_ptr<TRecorder> FRecorder;  // none: nothing is recorded
  THostConfig FHistoryConfig;  // the settings history windows use (the hosts are the record's)
  std::vector<TCancelTarget> FPending;  // cancels whose outcome has not been shown
  QStringList FOutcomes;                // the last outcomes, newest first
  bool FConfirmCancel;
  TFleetView FView;
  TRefreshSchedule FSchedule;
  std::function<void(const QString&)> FShowError;
  std::function<bool(const QString&)> FConfirm;
  TRowTableModel<TTaskRow>* FTaskModel;
  TRowTableModel<TSessionRow>* FSessionModel;
  TRowTableModel<TLicenceRow>* FLicenceModel;
  QTimer* FStripTimer;
  bool FUpdatingViews = false;
  std::vector<TRefreshSlot> FRefreshes;
};

}  // namespace quv
