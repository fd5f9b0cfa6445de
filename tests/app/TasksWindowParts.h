#pragma once

#include "app/uTasks2.h"

namespace quv::testing {

// The one way tests reach the window's parts: the lists, the buttons, the
// filter box, the strip's texts and the timer, named as in the window.
class TTasksWindowParts final {
 public:
  explicit TTasksWindowParts(TFTasks& window)
      : PageControl1(window.PageControl1),
        vsTasks(window.vsTasks),
        vsUsers(window.vsUsers),
        vsLicences(window.vsLicences),
        vsHosts(window.vsHosts),
        Panel1(window.Panel1),
        SpeedButton1(window.SpeedButton1),
        Label1(window.Label1),
        StaticText1(window.StaticText1),
        Timer1(window.Timer1),
        PauseButton(window.PauseButton),
        RefreshButton(window.RefreshButton),
        HostsButton(window.HostsButton),
        FilterEdit(window.FilterEdit),
        FilterCount(window.FilterCount),
        CancelTarget(window.CancelTarget),
        StatusStrip(window.StatusStrip),
        PauseBanner(window.PauseBanner),
        ActionResult(window.ActionResult),
        Splitter(window.Splitter),
        Details(window.Details),
        DetailsButton(window.DetailsButton),
        HistoryButton(window.HistoryButton) {}

  QTabWidget* const PageControl1;
  QTreeView* const vsTasks;
  QTreeView* const vsUsers;
  QTreeView* const vsLicences;
  TServerPane* const vsHosts;
  QWidget* const Panel1;
  QToolButton* const SpeedButton1;
  QLabel* const Label1;
  QLabel* const StaticText1;
  QTimer* const Timer1;
  QToolButton* const PauseButton;
  QToolButton* const RefreshButton;
  QToolButton* const HostsButton;
  QLineEdit* const FilterEdit;
  QLabel* const FilterCount;
  QLabel* const CancelTarget;
  QLabel* const StatusStrip;
  QLabel* const PauseBanner;
  QLabel* const ActionResult;
  QSplitter* const Splitter;
  TDetailsPane* const Details;
  QToolButton* const DetailsButton;
  QToolButton* const HistoryButton;
};

// The parts of `window`.
inline TTasksWindowParts Parts(TFTasks& window) { return TTasksWindowParts(window); }

}  // namespace quv::testing
