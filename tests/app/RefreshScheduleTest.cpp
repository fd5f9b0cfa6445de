#include <gtest/gtest.h>

#include "app/RefreshSchedule.h"

namespace quv {
namespace {

using TTab = TRefreshSchedule::TTab;

TEST(RefreshSchedule, EachTabKeepsItsPaceAndARefreshInFlightHoldsTheCountdown) {
  TRefreshSchedule schedule;
  EXPECT_TRUE(schedule.Running());
  EXPECT_EQ(schedule.Interval(), 1000);
  schedule.CountdownEnded();
  EXPECT_FALSE(schedule.Running());  // until the refresh is shown
  schedule.RefreshShown(true);
  EXPECT_TRUE(schedule.Running());
  schedule.TabChanged(TTab::Sessions);
  schedule.RefreshStarted();
  EXPECT_FALSE(schedule.Running());
  schedule.RefreshShown(true);
  EXPECT_EQ(schedule.Interval(), 5000);
  // Rows that could not be built stop the countdown until the operator acts.
  schedule.CountdownEnded();
  schedule.RefreshShown(false);
  EXPECT_FALSE(schedule.Running());
  EXPECT_TRUE(schedule.Scrolled());
  EXPECT_TRUE(schedule.Running());
  EXPECT_EQ(schedule.Interval(), 50000);
}

TEST(RefreshSchedule, PostponementsAndCancelsRestartTheCountdownButNeverWhilePaused) {
  TRefreshSchedule schedule;
  EXPECT_TRUE(schedule.Clicked());
  EXPECT_EQ(schedule.Interval(), 10000);
  EXPECT_TRUE(schedule.CancelEnded());
  EXPECT_EQ(schedule.Interval(), 1);
  schedule.SetPaused(true, false);
  EXPECT_FALSE(schedule.Running());
  EXPECT_FALSE(schedule.Clicked());
  EXPECT_FALSE(schedule.Running());
  EXPECT_FALSE(schedule.CancelEnded());
  schedule.RefreshStarted();  // F5 while paused
  schedule.RefreshShown(true);
  EXPECT_FALSE(schedule.Running());
  // Resuming while a refresh is in flight leaves the start to its showing.
  schedule.SetPaused(false, true);
  EXPECT_FALSE(schedule.Running());
  schedule.RefreshShown(true);
  EXPECT_TRUE(schedule.Running());
  schedule.SetPaused(true, false);
  schedule.SetPaused(false, false);
  EXPECT_TRUE(schedule.Running());
}

}  // namespace
}  // namespace quv
