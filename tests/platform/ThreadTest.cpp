#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/ThreadReaper.h"

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

// A thread that ends only when its event is set, whatever it is told.
class TStubbornThread final : public TThread {
 public:
  explicit TStubbornThread(TEvent& release) : FRelease(release) {}
  ~TStubbornThread() override { WaitFor(); }

 protected:
  void Execute() override { FRelease.WaitFor(TEvent::kInfinite); }

 private:
  TEvent& FRelease;
};

TEST(Thread, LowersItsOwnPriorityOneStepWithoutTouchingOthers) {
  const int before = CurrentThreadNice();
  int lowered = 0;
  int loweredAgain = 0;
  std::thread worker([&] {
    LowerCurrentThreadPriority();
    lowered = CurrentThreadNice();
    LowerCurrentThreadPriority();
    loweredAgain = CurrentThreadNice();
  });
  worker.join();
  EXPECT_EQ(lowered, std::min(before + 1, kLowestThreadNice));
  EXPECT_EQ(loweredAgain, std::min(before + 2, kLowestThreadNice));
  EXPECT_EQ(CurrentThreadNice(), before);
}

TEST(ThreadReaper, KeepsAThreadThatHasNotEndedUntilItIsJoined) {
  TEvent release;
  auto thread = std::make_unique<TStubbornThread>(release);
  thread->Start();
  thread->Terminate();
  HandOverThread(std::move(thread));
  EXPECT_EQ(HandedOverThreads(), 1u);
  release.SetEvent();
  JoinHandedOverThreads();
  EXPECT_EQ(HandedOverThreads(), 0u);
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
