#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/FileWatcher.h"
#include "platform/Sync.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

constexpr uint32_t kWatcherCap = 10000;

TEST(FileWatcher, OnlyOwnersStillWatchingHearOfAChange) {
  TTempFolder folder;
  const std::string path = folder.WriteFile("watched.txt", "one");
  std::shared_ptr<TFileWatcher> watcher = AcquireFileWatcher();
  EXPECT_EQ(AcquireFileWatcher(), watcher);
  const int removed = 0;
  const int staying = 0;
  std::atomic<int> removedCalls{0};
  std::string seenName;
  TEvent seen;
  watcher->Add(path, &removed, [&](const std::string&) { ++removedCalls; });
  watcher->Add(path, &staying, [&](const std::string& name) {
    seenName = name;
    seen.SetEvent();
  });
  watcher->Remove(&removed);
  folder.WriteFile("watched.txt", "two, and longer");
  // Both callbacks would run in the same scan.
  ASSERT_TRUE(seen.WaitFor(kWatcherCap));
  watcher->Remove(&staying);
  EXPECT_EQ(seenName, path);
  EXPECT_EQ(removedCalls.load(), 0);
}

}  // namespace
}  // namespace quv
