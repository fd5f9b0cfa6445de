#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/FailureGuard.h"

namespace quv {
namespace {

void LeaveScope(int& cleanUps, bool byException) {
  const TFailureGuard guard([&cleanUps] { ++cleanUps; });
  if (byException) throw std::runtime_error("failed");
}

TEST(FailureGuard, CleansUpOnlyWhenItsScopeIsLeftByAnException) {
  int cleanUps = 0;
  LeaveScope(cleanUps, false);
  EXPECT_EQ(cleanUps, 0);
  EXPECT_THROW(LeaveScope(cleanUps, true), std::runtime_error);
  EXPECT_EQ(cleanUps, 1);
}

// Leaves a guarded scope normally from its destructor, which runs while
// another exception unwinds.
struct TUnwindingWitness {
  int& CleanUps;
  ~TUnwindingWitness() { LeaveScope(CleanUps, false); }
};

TEST(FailureGuard, AScopeLeftNormallyDuringAnOuterUnwindIsNoFailure) {
  int cleanUps = 0;
  try {
    TUnwindingWitness witness{cleanUps};
    throw std::runtime_error("outer");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(cleanUps, 0);
}

}  // namespace
}  // namespace quv
