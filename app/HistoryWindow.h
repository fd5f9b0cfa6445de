#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "app/HostConfig.h"
#include "app/RecordReader.h"
#include "app/RowTableModel.h"
#include "app/TaskRows.h"

class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QSlider;
class QTabWidget;
class QTimer;
class QTreeView;

namespace quv {

class TServerPane;

// The fleet as a record file kept it: an instant chosen with a time field or
// a slider over the recorded period, and the task list, the sessions with
// their licence counts and the servers' states as they were then. Read-only
// (nothing here cancels); the lists filter and sort as the main window's do.
// The record may grow while the window is open: the slider reaches the
// latest instant each time an instant is shown. UI thread only.
class THistoryWindow final : public QWidget {
 public:
  // Opens `recordFile` for reading; raises ERecorderError when it cannot.
  THistoryWindow(const std::string& recordFile, const THostConfig& config,
                 QWidget* parent = nullptr);
  ~THistoryWindow() override;

  // Shows the lists as they were at `when` (a local date-time).
  void ShowInstant(double when);
  double Instant() const { return FInstant; }
  std::pair<double, double> Period() const { return FPeriod; }
  const TRowTableModel<TTaskRow>& Tasks() const { return *FTaskModel; }
  const TRowTableModel<TSessionRow>& Sessions() const { return *FSessionModel; }
  const TRowTableModel<TLicenceRow>& Licences() const { return *FLicenceModel; }
  const TRowTableModel<THostRow>& Servers() const;
  void SetFilterText(const QString& text);

 private:
  void BuildLayout(const THostConfig& config);
  QWidget* BuildInstantBar();
  void ReadPeriod();
  void SliderMoved(int value);
  void ApplyFilter();

  TRecordReader FReader;
  const bool FFoldNoConnection;
  std::pair<double, double> FPeriod;
  double FInstant = 0;
  bool FSettingInstant = false;
  QDateTimeEdit* FInstantEdit;
  QSlider* FSlider;
  QLabel* FPeriodLabel;
  QLineEdit* FFilterEdit;
  QLabel* FStateLabel;
  QTabWidget* FPages;
  QTreeView* FTaskTree;
  QTreeView* FSessionTree;
  QTreeView* FLicenceTree;
  TServerPane* FServerPane;
  QTimer* FSliderPause;
  TRowTableModel<TTaskRow>* FTaskModel;
  TRowTableModel<TSessionRow>* FSessionModel;
  TRowTableModel<TLicenceRow>* FLicenceModel;
};

}  // namespace quv
