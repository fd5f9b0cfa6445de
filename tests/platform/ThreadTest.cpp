#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/Sync.h"

namespace quv {
namespace {

class TCountingThread final : public TThread {
 public:
  explicit TCountingThread(TEvent& go) : FGo(go) {}
  ~TCountingThread() override { TerminateAndWait(); }
  std::atomic<int> Rounds{0};

 protected:
  void Execute() override {
    while (!Terminated()) {
      FGo.WaitFor(10);
      ++Rounds;
    }
  }

 private:
  TEvent& FGo;
};

TEST(Thread, RunsUntilTerminatedAndIsJoinedByItsOwner) {
  TEvent go;
  TCountingThread thread(go);
  EXPECT_FALSE(thread.Finished());
  thread.Start();
  go.SetEvent();
  while (thread.Rounds.load() < 3) {
  }
  thread.TerminateAndWait();
  EXPECT_TRUE(thread.Finished());
  EXPECT_THROW(thread.Start(), std::exception);
}

TEST(Event, AutoResetReleasesOneWait) {
  TEvent event(false, true);
  EXPECT_TRUE(event.WaitFor(0));
  EXPECT_FALSE(event.WaitFor(0));
  event.SetEvent();
  EXPECT_TRUE(event.WaitFor(TEvent::kInfinite));
  TEvent manual(true, false);
  manual.SetEvent();
  EXPECT_TRUE(manual.WaitFor(0));
  EXPECT_TRUE(manual.WaitFor(0));
  manual.ResetEvent();
  EXPECT_FALSE(manual.WaitFor(1));
}

}  // namespace
}  // namespace quv
