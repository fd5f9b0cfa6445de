#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "client/Activities.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace quv {
namespace {

// A list with listeners of its own that record every notice.
class ActivityListTest : public ::testing::Test {
 protected:
  ActivityListTest() {
    FListeners.Add([this](const TActivity& a) { Seen.push_back(a); });
  }
  TActivityListeners FListeners;
  TActivityList List{FListeners};
  std::vector<TActivity> Seen;
};

TEST_F(ActivityListTest, AddAndRemoveTellWithTheRecordAndIdsAreNeverReused) {
  TManualClock clock(0, 45000.5);
  TClockOverride useClock(clock);
  EXPECT_EQ(List.Add("a em h"), 0);
  EXPECT_EQ(List.Add("b em h"), 1);
  EXPECT_EQ(List.Get(0)->StartTime, 45000.5);
  List.Remove(1);
  List.Remove(1);  // unknown by now: nobody is told
  List.Remove(7);
  EXPECT_FALSE(List.Get(1));
  EXPECT_EQ(List.Add("c em h"), 2);

  ASSERT_EQ(Seen.size(), 4u);
  EXPECT_EQ(Seen[1].Name, "b em h");
  EXPECT_EQ(Seen[1].Finished, 0);
  EXPECT_EQ(Seen[2].Name, "b em h");
  EXPECT_EQ(Seen[2].Finished, 1);
  EXPECT_EQ(Seen[3].Name, "c em h");
}

TEST_F(ActivityListTest, SetOfUnknownIdStoresNothingButStillTells) {
  TActivity given{0, "given", 0, 40};
  List.Set(3, given);
  EXPECT_FALSE(List.Get(3));
  List.Set(List.Add("real"), given);
  EXPECT_EQ(List.Get(0)->Name, "given");
  ASSERT_EQ(Seen.size(), 3u);
  EXPECT_EQ(Seen[0].Name, "given");
}

TEST_F(ActivityListTest, StoresProgressOnlyPastTenPointsOrAtTheEnd) {
  EXPECT_FALSE(ProgressWorthStoring(2147483647, -2147483647 - 1));
  const int32_t id = List.Add("call");
  for (int32_t percent : {5, 10, 11, 15, 100, 100}) List.ReportProgress(id, percent);
  List.ReportProgress(id + 1, 100);  // unknown: nobody is told
  ASSERT_EQ(Seen.size(), 4u);
  EXPECT_EQ(Seen[1].Progress, 11);
  EXPECT_EQ(Seen[2].Progress, 100);
  EXPECT_EQ(Seen[3].Name, "call");
  EXPECT_EQ(List.Get(id)->Progress, 100);
}

TEST(ActivityListeners, CallsInOrderWhileAListenerChangesTheList) {
  TActivityListeners listeners;
  std::vector<int> calls;
  int32_t second = -1;
  listeners.Add([&](const TActivity&) {
    calls.push_back(1);
    listeners.Remove(second);
    listeners.Add([&](const TActivity&) { calls.push_back(3); });
  });
  second = listeners.Add([&](const TActivity&) { calls.push_back(2); });
  listeners.Notify(TActivity());
  listeners.Remove(0);
  listeners.Notify(TActivity());
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
}

class TAddRemoveThread final : public TThread {
 public:
  TAddRemoveThread(TActivityList& list, std::vector<int32_t>& ids) : FList(list), FIds(ids) {}
  ~TAddRemoveThread() override { TerminateAndWait(); }

 protected:
  void Execute() override {
    for (int i = 0; i < 500; ++i) {
      const int32_t id = FList.Add("t");
      FList.ReportProgress(id, 50);
      FList.Remove(id);
      FIds.push_back(id);
    }
  }

 private:
  TActivityList& FList;
  std::vector<int32_t>& FIds;
};

TEST(ActivityListThreads, ConcurrentAddAndRemoveGiveDistinctIdsAndEveryNotice) {
  TActivityListeners listeners;
  // Listeners run one at a time under the list's lock, so plain counts do.
  std::map<std::pair<int32_t, int32_t>, int> notices;  // (finished, progress) -> count
  listeners.Add([&](const TActivity& a) { ++notices[{a.Finished, a.Progress}]; });
  TActivityList list(listeners);
  std::vector<std::vector<int32_t>> ids(4);
  {
    std::vector<std::unique_ptr<TAddRemoveThread>> threads;
    for (auto& own : ids) threads.push_back(std::make_unique<TAddRemoveThread>(list, own));
    for (auto& thread : threads) thread->Start();
  }
  std::set<int32_t> all;
  for (const auto& own : ids) all.insert(own.begin(), own.end());
  EXPECT_EQ(all.size(), 2000u);
  EXPECT_EQ(*all.rbegin(), 1999);
  const std::map<std::pair<int32_t, int32_t>, int> expected{
      {{0, 0}, 2000}, {{0, 50}, 2000}, {{1, 50}, 2000}};
  EXPECT_EQ(notices, expected);
}

}  // namespace
}  // namespace quv
