#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/RefreshT.h"
#include "app/RemoteCalls.h"
#include "app/RowTableModel.h"
#include "app/TaskRows.h"

class QLabel;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeView;

namespace quv {

// The viewer's main window: the task tab, the session and licence tab, the
// cancel button and the refresh timer. "calls" and "probe" must outlive the
// window. UI thread only; closing the window waits for refreshes in flight.
class TFTasks final : public QWidget {
 public:
  TFTasks(const THostConfig& config, IRemoteCalls& calls, IHostProbe& probe,
          QWidget* parent = nullptr);
  ~TFTasks() override;

  // Replaces the standard error box (tests capture the message instead).
  void SetErrorPresenter(std::function<void(const QString&)> presenter);

  // The parts tests look at.
  QTabWidget* PageControl1;
  QTreeView* vsTasks;
  QTreeView* vsUsers;
  QTreeView* vsLicences;
  QWidget* Panel1;
  QToolButton* SpeedButton1;
  QLabel* Label1;
  QLabel* StaticText1;
  QTimer* Timer1;
  const std::vector<std::string>& Hosts() const { return FHosts; }
  std::size_t RefreshesInFlight() const { return FWorkers.size(); }

  // Event handlers.
  void FormResize();
  void Timer1Timer();
  void PageControl1Change();
  void vsTasksClick();
  void vsUsersScroll();
  void SpeedButton1Click();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate(const THostConfig& config);
  void BuildLayout();
  void SetUpTree(QTreeView* tree, QAbstractItemModel* model,
                 const std::vector<TColumnDef>& columns);
  void StartRefresh();
  void RefreshDone(TRefreshT& worker);
  bool ShowTasks(TRefreshT& worker);
  bool ShowSessions(TRefreshT& worker);
  void ReleaseWorker(TRefreshT& worker);
  void CancelFocusedRow();

  QString vsTasksGetText(const TTaskRow& row, int column) const;
  QString vsUsersGetText(const TSessionRow& row, int column) const;
  QString vsLicencesGetText(const TLicenceRow& row, int column) const;

  IRemoteCalls& FCalls;
  IHostProbe& FProbe;
  // Kept for every refresh, so that none pays for starting threads; declared
  // before FWorkers, which must end before it.
  TWorkerPool FHostWorkers{TRefreshT::kMaxConcurrentHosts - 1};
  std::vector<std::string> FHosts;
  std::function<void(const QString&)> FShowError;
  TRowTableModel<TTaskRow>* FTaskModel;
  TRowTableModel<TSessionRow>* FSessionModel;
  TRowTableModel<TLicenceRow>* FLicenceModel;
  bool FUpdatingViews = false;
  std::vector<std::unique_ptr<TRefreshT>> FWorkers;
};

}  // namespace quv
