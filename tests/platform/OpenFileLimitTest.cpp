#include <gtest/gtest.h>

#include <vector>

#include "platform/OpenFileLimit.h"

namespace quv {
namespace {

// Limits held in memory; records every soft limit asked for.
class TFakeLimits final : public IOpenFileLimitSystem {
 public:
  TFakeLimits(TOpenFileLimits limits, bool refuses) : FLimits(limits), FRefuses(refuses) {}
  TOpenFileLimits Read() override { return FLimits; }
  bool SetSoft(uint64_t soft) override {
    FAsked.push_back(soft);
    if (FRefuses) return false;
    FLimits.Soft = soft;
    return true;
  }
  const std::vector<uint64_t>& Asked() const { return FAsked; }

 private:
  TOpenFileLimits FLimits;
  bool FRefuses;
  std::vector<uint64_t> FAsked;
};

TEST(OpenFileLimit, TheSoftLimitIsRaisedToTheHardOne) {
  TFakeLimits limits({1024, 524288}, false);
  EXPECT_EQ(RaiseOpenFileLimit(limits), 524288u);
  EXPECT_EQ(OpenFileSoftLimit(limits), 524288u);
  EXPECT_EQ(limits.Asked(), std::vector<uint64_t>{524288});
}

TEST(OpenFileLimit, ARefusalKeepsTheSoftLimitAndALimitAtTheCeilingIsNotSetAgain) {
  TFakeLimits refusing({1024, 4096}, true);
  EXPECT_EQ(RaiseOpenFileLimit(refusing), 1024u);
  TFakeLimits atCeiling({4096, 4096}, false);
  EXPECT_EQ(RaiseOpenFileLimit(atCeiling), 4096u);
  EXPECT_TRUE(atCeiling.Asked().empty());
}

TEST(OpenFileLimit, TheSystemsSoftLimitIsReadBackAfterTheRaise) {
  const TOpenFileLimits before = SystemOpenFileLimits().Read();
  const uint64_t raised = RaiseOpenFileLimit();
  EXPECT_EQ(OpenFileSoftLimit(), raised);
  EXPECT_GE(raised, before.Soft);
  EXPECT_LE(raised, before.Hard);
}

}  // namespace
}  // namespace quv
