// The main of every GoogleTest program: each test runs in a process state of
// its own, a client scope made before the test's fixture and ended after it.

#include <gtest/gtest.h>

#include <memory>

#include "client/quvClientScope.h"
#include "tests/kit/TestScope.h"

namespace quv::testing {

namespace {

constexpr uint32_t kManualClockStart = 0x40000000;

class TScopePerTest final : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    FScope = std::make_unique<TClientScope>();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    FScope.reset();
    FClockOverride.reset();
    FClock.reset();
  }
  TManualClock& ManualClock() {
    if (!FClock) {
      FClock = std::make_unique<TManualClock>(kManualClockStart);
      FClockOverride = std::make_unique<TClockOverride>(*FClock);
    }
    return *FClock;
  }

 private:
  // Made in this order, ended in reverse: the scope's threads stop before the clock goes.
  std::unique_ptr<TManualClock> FClock;
  std::unique_ptr<TClockOverride> FClockOverride;
  std::unique_ptr<TClientScope> FScope;
};

TScopePerTest* gListener = nullptr;

}  // namespace

TManualClock& TestManualClock() { return gListener->ManualClock(); }

}  // namespace quv::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  quv::testing::gListener = new quv::testing::TScopePerTest;
  ::testing::UnitTest::GetInstance()->listeners().Append(quv::testing::gListener);
  return RUN_ALL_TESTS();
}
