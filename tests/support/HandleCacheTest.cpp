#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/Thread.h"
#include "support/HandleCache.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

// Counts the items a cache makes and destroys.
struct TItemLog {
  std::atomic<int> Created{0};
  std::atomic<int> Destroyed{0};
};

class TProbeItem final : public TCacheItem {
 public:
  TProbeItem(const std::string& name, THandle handle, TItemLog& log)
      : TCacheItem(name, handle), FLog(log) {}
  ~TProbeItem() override { ++FLog.Destroyed; }

 private:
  TItemLog& FLog;
};

// Makes probe items with the handles 100, 101, ...
TCacheItemClass ProbeClass(TItemLog& log) {
  return [&log](const std::string& name) -> std::unique_ptr<TCacheItem> {
    return std::make_unique<TProbeItem>(name, 100 + log.Created++, log);
  };
}

// A cache of probe items and the log of their lives.
class HandleCache : public ::testing::Test {
 protected:
  TItemLog FLog;
  THandleCache FCache{ProbeClass(FLog)};
};
using HandleCacheThreads = HandleCache;

TEST_F(HandleCache, AcquiringOneNameAgainReusesTheItemWhateverTheCase) {
  const THandle first = FCache.Acquire("intf.quv");
  FCache.ReleaseHandle("intf.quv", first);
  const THandle second = FCache.Acquire("INTF.QUV");
  EXPECT_EQ(first, second);
  EXPECT_EQ(FLog.Created, 1);
  FCache.ReleaseHandle("Intf.Quv", second);
  EXPECT_EQ(FCache.Count(), 1);
  EXPECT_EQ(FLog.Destroyed, 0);  // idle items stay open
}

TEST_F(HandleCache, ReleasesThatDoNotMatchAUseAreIgnored) {
  FCache.SetExpiry(0);
  const THandle handle = FCache.Acquire("a");
  FCache.ReleaseHandle("b", handle);
  FCache.ReleaseHandle("a", handle + 1);
  EXPECT_EQ(FCache.UseCount("a"), 1);
  FCache.ReleaseHandle("a", handle);
  EXPECT_EQ(FLog.Destroyed, 1);
  FCache.ReleaseHandle("a", handle);  // no longer cached

  FCache.SetExpiry(60000);
  const THandle again = FCache.Acquire("a");
  FCache.ReleaseHandle("a", again);
  FCache.ReleaseHandle("a", again);  // one release too many
  EXPECT_EQ(FCache.UseCount("a"), 0);
  EXPECT_EQ(FCache.Count(), 1);
}

TEST_F(HandleCache, ZeroExpiryOrForceClosesOnTheLastRelease) {
  const THandle forced = FCache.Acquire("forced");
  FCache.ReleaseHandle("forced", forced, true);
  EXPECT_EQ(FLog.Destroyed, 1);

  FCache.SetExpiry(0);
  const THandle outer = FCache.Acquire("nested");
  const THandle inner = FCache.Acquire("nested");  // the item lock is re-entrant
  FCache.ReleaseHandle("nested", inner);
  EXPECT_EQ(FLog.Destroyed, 1);
  FCache.ReleaseHandle("nested", outer);
  EXPECT_EQ(FLog.Destroyed, 2);
  EXPECT_EQ(FCache.Count(), 0);
}

TEST_F(HandleCache, ExpireClosesOnlyIdleItemsPastTheirExpiry) {
  TManualClock clock(1000);
  TClockOverride useClock(clock);
  FCache.SetExpiry(5000);
  const THandle busy = FCache.Acquire("busy");
  FCache.ReleaseHandle("idle", FCache.Acquire("idle"));
  clock.Advance(5000);
  FCache.Expire(false);
  EXPECT_EQ(FCache.Count(), 2);  // idle for exactly the expiry: kept
  clock.Advance(1);
  FCache.Expire(false);
  EXPECT_EQ(FCache.UseCount("busy"), 1);
  EXPECT_EQ(FCache.Count(), 1);

  FCache.ReleaseAll();
  EXPECT_EQ(FCache.Count(), 1);  // still in use
  FCache.ReleaseHandle("busy", busy);
  FCache.ReleaseAll();
  EXPECT_EQ(FCache.Count(), 0);
  EXPECT_EQ(FLog.Destroyed, 2);

  FCache.SetExpiry(-1);  // a negative expiry closes every idle item
  FCache.ReleaseHandle("fresh", FCache.Acquire("fresh"));
  FCache.Expire(false);
  EXPECT_EQ(FCache.Count(), 0);
}

TEST_F(HandleCache, ExpiryCountsIdleTimeAcrossTheTickWrapAround) {
  TManualClock clock(0xFFFFFF00u);
  TClockOverride useClock(clock);
  FCache.SetExpiry(1000);
  FCache.ReleaseHandle("a", FCache.Acquire("a"));
  clock.Advance(1000);
  ASSERT_LT(clock.TickCount(), 0xFFFFFF00u);
  FCache.Expire(false);
  EXPECT_EQ(FCache.Count(), 1);
  clock.Advance(1);
  FCache.Expire(false);
  EXPECT_EQ(FCache.Count(), 0);
}

// Runs a function on its own thread; joined when destroyed.
class TTaskThread final : public TThread {
 public:
  explicit TTaskThread(std::function<void()> task) : FTask(std::move(task)) { Start(); }
  ~TTaskThread() override { TerminateAndWait(); }

 protected:
  void Execute() override { FTask(); }

 private:
  std::function<void()> FTask;
};

void WaitForUseCount(const THandleCache& cache, const std::string& name, int32_t count) {
  while (cache.UseCount(name) != count) std::this_thread::yield();
}

TEST_F(HandleCacheThreads, OneNameIsSerializedWhileAWaiterBlocksNoOtherName) {
  const THandle held = FCache.Acquire("shared");
  std::atomic<bool> heldReleased{false};
  std::atomic<bool> waiterSawRelease{false};
  TTaskThread waiter([&] {
    const THandle handle = FCache.Acquire("shared");
    waiterSawRelease = heldReleased.load();
    FCache.ReleaseHandle("shared", handle);
  });
  WaitForUseCount(FCache, "shared", 2);  // the waiter now waits for the item lock

  // Neither the held item nor the waiter may hold up another name.
  TTaskThread other([&] { FCache.ReleaseHandle("other", FCache.Acquire("other")); });
  other.WaitFor();
  EXPECT_EQ(FCache.UseCount("other"), 0);

  heldReleased = true;
  FCache.ReleaseHandle("shared", held);
  waiter.WaitFor();
  EXPECT_TRUE(waiterSawRelease);
  EXPECT_EQ(FLog.Created, 2);
}

TEST_F(HandleCacheThreads, EachHandleHasOneUserAtATimeWhileItemsComeAndGo) {
  FCache.SetExpiry(0);
  const std::vector<std::string> names{"a", "b", "c"};
  std::map<std::string, std::atomic<int>> users;
  for (const auto& name : names) users[name] = 0;
  std::atomic<int> overlaps{0};
  std::vector<std::unique_ptr<TTaskThread>> threads;
  for (int t = 0; t < 4; ++t)
    threads.push_back(std::make_unique<TTaskThread>([&, t] {
      for (int round = 0; round < 500; ++round) {
        const std::string& name = names[(round + t) % names.size()];
        const THandle handle = FCache.Acquire(name);
        if (users.at(name).fetch_add(1) != 0) ++overlaps;
        users.at(name).fetch_sub(1);
        FCache.ReleaseHandle(name, handle);
      }
    }));
  threads.clear();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(FCache.Count(), 0);
  EXPECT_EQ(FLog.Created, FLog.Destroyed);
}

class TFileCacheTest : public ::testing::Test {
 protected:
  static std::string ReadAll(THandle handle) {
    char buffer[64];
    const ssize_t got = pread(handle, buffer, sizeof buffer, 0);
    return got < 0 ? std::string() : std::string(buffer, static_cast<size_t>(got));
  }

  static bool IsOpen(THandle handle) { return fcntl(handle, F_GETFD) != -1; }

  TTempFolder FFolder;
};

class TCountingFileCache final : public TReadFileCache {
 public:
  int Opened = 0;

 protected:
  std::unique_ptr<TCacheItem> CreateItem(const std::string& name) override {
    ++Opened;
    return TReadFileCache::CreateItem(name);
  }
};

TEST_F(TFileCacheTest, OpensAFileOnceForItsReaders) {
  const std::string path = FFolder.WriteFile("lib.quv", "interface data");
  TCountingFileCache cache;
  const THandle first = cache.Acquire(path);
  ASSERT_NE(first, kNoHandle);
  EXPECT_EQ(ReadAll(first), "interface data");
  EXPECT_NE(fcntl(first, F_GETFD) & FD_CLOEXEC, 0);
  cache.ReleaseHandle(path, first);
  const THandle second = cache.Acquire(path);
  EXPECT_EQ(second, first);
  EXPECT_EQ(cache.Opened, 1);
  cache.ReleaseHandle(path, second);
  cache.ReleaseAll();
  EXPECT_FALSE(IsOpen(first));
}

TEST_F(TFileCacheTest, MissingFilesAndFoldersGiveNoHandle) {
  TReadFileCache cache;
  EXPECT_EQ(cache.Acquire(FFolder.Path() + "/absent.quv"), kNoHandle);
  EXPECT_EQ(cache.Acquire(FFolder.Path()), kNoHandle);
  EXPECT_EQ(cache.Count(), 0);
  EXPECT_THROW(TReadFileCacheItem(FFolder.Path()), EOSError);
}

TEST_F(TFileCacheTest, FileNamesThatDifferInCaseAreDifferentFiles) {
  const std::string upper = FFolder.WriteFile("Lib.quv", "upper");
  const std::string lower = FFolder.WriteFile("lib.quv", "lower");
  TReadFileCache cache;
  const THandle upperHandle = cache.Acquire(upper);
  const THandle lowerHandle = cache.Acquire(lower);
  EXPECT_EQ(ReadAll(upperHandle), "upper");
  EXPECT_EQ(ReadAll(lowerHandle), "lower");
  cache.ReleaseHandle(upper, upperHandle);
  cache.ReleaseHandle(lower, lowerHandle);
}

}  // namespace
}  // namespace quv
