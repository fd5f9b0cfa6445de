#include "app/RefreshSchedule.h"

namespace quv {

int32_t TRefreshSchedule::TabInterval() const {
  return FTab == TTab::Tasks ? kTaskInterval : kSessionInterval;
}

void TRefreshSchedule::CountdownEnded() {
  FRunning = false;
  FInterval = TabInterval();
}

void TRefreshSchedule::RefreshStarted() { FRunning = false; }

void TRefreshSchedule::RefreshShown(bool rowsBuilt) {
  if (rowsBuilt && !FPaused) FRunning = true;
}

void TRefreshSchedule::TabChanged(TTab tab) {
  FTab = tab;
  FInterval = TabInterval();
}

bool TRefreshSchedule::Postpone(int32_t interval) {
  FInterval = interval;
  FRunning = !FPaused;
  return FRunning;
}

bool TRefreshSchedule::Clicked() { return Postpone(kClickPostpone); }

bool TRefreshSchedule::Scrolled() { return Postpone(kScrollPostpone); }

bool TRefreshSchedule::CancelEnded() {
  if (FPaused) return false;
  FInterval = kAfterCancel;
  return FRunning;
}

void TRefreshSchedule::SetPaused(bool paused, bool refreshInFlight) {
  FPaused = paused;
  FRunning = !paused && !refreshInFlight;
}

}  // namespace quv
