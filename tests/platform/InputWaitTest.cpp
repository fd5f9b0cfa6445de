// The wait of a program that reads a terminal and shows what its threads
// deliver: input, a wake-up from another thread (also one that came before
// the wait) and a hang-up all end it. A wait that missed them would run
// for ten minutes, past the test's time-out.

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/InputWait.h"

namespace quv {
namespace {

constexpr uint32_t kLongMs = 600000;

class InputWait : public ::testing::Test {
 protected:
  InputWait() { EXPECT_EQ(::pipe(FInput), 0); }
  ~InputWait() override {
    ::close(FInput[0]);
    if (FInput[1] >= 0) ::close(FInput[1]);
  }
  int FInput[2] = {-1, -1};
};

TEST_F(InputWait, AWakeFromAnotherThreadEndsTheWait) {
  TInputWait wait(FInput[0]);
  std::thread waker([&wait] { wait.Wake(); });
  EXPECT_TRUE(wait.Wait(kLongMs));
  waker.join();
  // The wake-up was used up: the next wait lasts its time.
  EXPECT_TRUE(wait.Wait(1));
}

TEST_F(InputWait, AWakeBeforeTheWaitIsNotLost) {
  TInputWait wait(FInput[0]);
  wait.Wake();
  wait.Wake();
  EXPECT_TRUE(wait.Wait(kLongMs));
  EXPECT_FALSE(wait.StopRequested());
}

TEST_F(InputWait, InputEndsTheWaitAndAHangUpSaysSo) {
  TInputWait wait(FInput[0]);
  ASSERT_EQ(::write(FInput[1], "k", 1), 1);
  EXPECT_TRUE(wait.Wait(kLongMs));
  char key = 0;
  ASSERT_EQ(::read(FInput[0], &key, 1), 1);
  ::close(FInput[1]);
  FInput[1] = -1;
  EXPECT_FALSE(wait.Wait(kLongMs));
}

}  // namespace
}  // namespace quv
