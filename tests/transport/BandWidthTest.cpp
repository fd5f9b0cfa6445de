#include <gtest/gtest.h>

#include "tests/kit/BufferConn.h"
#include "transport/quvBandWidth.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

// Sleeps move the test clock; the limit is restored after each test.
class BandWidth : public ::testing::Test {
 protected:
  ~BandWidth() override { SetBandWidthLimit(0); }

  TSleepProc Sleeper() {
    return [this](int32_t ms) {
      FSlept.push_back(ms);
      FClock.Advance(static_cast<uint32_t>(ms));
    };
  }

  TManualClock FClock{1000};
  TClockOverride FClockGuard{FClock};
  std::vector<int32_t> FSlept;
};

TEST_F(BandWidth, LimitIsKilobitsWithHeadRoomAndOnlyForNewControls) {
  TBandWidthControl before;
  before.SetSleepProc(Sleeper());
  SetBandWidthLimit(800);
  TBandWidthControl after;
  EXPECT_FALSE(before.Active());
  before.Throttle(100000000);
  EXPECT_TRUE(FSlept.empty()) << "a control without a limit never waits";
  EXPECT_EQ(after.Limit(), 105472);  // 800 * 1.03 / 8 * 1024
}

TEST_F(BandWidth, WriterTwiceOverItsShareSleepsInCappedStepsUntilWithinIt) {
  SetBandWidthLimit(800);
  IncActiveSenders();
  IncActiveSenders();
  TBandWidthControl control;
  control.SetSleepProc(Sleeper());
  FClock.Advance(500);
  control.Throttle(105472);  // twice the 52736 bytes per second each sender gets, in 0.5 s
  DecActiveSenders();
  DecActiveSenders();
  EXPECT_EQ(FSlept, (std::vector<int32_t>{500, 500, 500}));
}

// Two writers, each in a command and sending 105472 bytes: with the limit
// shared between them, each one's bytes take two seconds of the clock.
TEST_F(BandWidth, TwoSendersShareTheLimit) {
  SetBandWidthLimit(800);
  testing::TBufferConn connA, connB;
  TquvPackage packageA(connA), packageB(connB);
  TquvPackageWriter writerA(packageA), writerB(packageB);
  writerA.BandWidth().SetSleepProc(Sleeper());
  writerB.BandWidth().SetSleepProc(Sleeper());
  writerA.WriteCommandHeader(TquvCommandHeader{}, "");
  writerB.WriteCommandHeader(TquvCommandHeader{}, "");
  const std::vector<uint8_t> data(105472, 'd');
  for (auto* writer : {&writerA, &writerB}) {
    const uint32_t start = FClock.TickCount();
    writer->BeforeCopy();
    writer->WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
    EXPECT_EQ(FClock.TickCount() - start, 2000u);
  }
  writerA.EndCommand();
  EXPECT_EQ(connB.Written().size(),
            4 + 4 + 4 + 132 + 4 + 4 + data.size());  // flushed before waiting
  FSlept.clear();
  writerB.BeforeCopy();
  writerB.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
  EXPECT_EQ(FSlept, (std::vector<int32_t>{500, 500}));  // alone now: one second
}

}  // namespace
}  // namespace quv
