#pragma once

#include <cstdint>

namespace quv {

// When the window refreshes, apart from any timer: every second on the task
// tab and every five seconds on the session tab; a page change refreshes at
// once; a click in the task list postpones the next refresh to 10 s, a
// scroll of the session list to 50 s; a cancel's outcome brings the next
// refresh forward. The countdown stops while a refresh is in flight (its
// showing starts the next one, unless building its rows failed) and while
// the operator pauses. The owner runs one timer as Running() and Interval()
// say, restarting it when an event returns true.
class TRefreshSchedule final {
 public:
  enum class TTab { Tasks, Sessions };
  static constexpr int32_t kTaskInterval = 1000;
  static constexpr int32_t kSessionInterval = 5000;
  static constexpr int32_t kClickPostpone = 10000;
  static constexpr int32_t kScrollPostpone = 50000;
  static constexpr int32_t kAfterCancel = 1;

  bool Running() const { return FRunning; }
  int32_t Interval() const { return FInterval; }
  bool Paused() const { return FPaused; }
  TTab Tab() const { return FTab; }

  // The countdown ran out: a refresh starts, and the next countdown uses
  // the tab's interval.
  void CountdownEnded();
  // A refresh starts (the countdown, a page change, F5): the countdown stops.
  void RefreshStarted();
  // The refresh was shown; `rowsBuilt` false keeps the countdown stopped
  // until the operator acts (a page change, a click, a scroll).
  void RefreshShown(bool rowsBuilt);
  // The visible tab changed; a refresh follows at once.
  void TabChanged(TTab tab);
  // Each returns true when the countdown restarts from now.
  bool Clicked();
  bool Scrolled();
  bool CancelEnded();
  // Pausing stops the countdown; resuming starts it again unless a refresh
  // is in flight (whose showing starts it).
  void SetPaused(bool paused, bool refreshInFlight);

 private:
  int32_t TabInterval() const;
  bool Postpone(int32_t interval);

  TTab FTab = TTab::Tasks;
  int32_t FInterval = kTaskInterval;
  bool FRunning = true;
  bool FPaused = false;
};

}  // namespace quv
