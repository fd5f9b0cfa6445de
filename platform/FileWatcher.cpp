#include "platform/FileWatcher.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "platform/DebugOutput.h"
#include "platform/ExePath.h"

namespace quv {

TFileWatcher::TFileWatcher() { Start(); }

TFileWatcher::~TFileWatcher() {
  Terminate();
  FNotifier.Wake();
  WaitFor();
}

void TFileWatcher::Add(const std::string& fileName, const void* owner, TCallback callback) {
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    FItems.push_back({fileName, std::move(callback), owner, FileStampOf(fileName)});
    FListChanged = true;
  }
  FNotifier.Wake();
}

void TFileWatcher::Remove(const void* owner) {
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    std::erase_if(FItems, [owner](const TFileWatcherItem& item) { return item.Owner == owner; });
    FListChanged = true;
  }
  FNotifier.Wake();
}

std::vector<std::string> TFileWatcher::Folders() {
  std::vector<std::string> folders;
  for (const TFileWatcherItem& item : FItems) {
    const std::string folder = ExtractFileDir(item.FileName);
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
  return folders;
}

void TFileWatcher::CompareStamps(const std::vector<std::string>& changedFolders) {
  std::lock_guard<TCriticalSection> guard(FLock);
  for (TFileWatcherItem& item : FItems) {
    const std::string folder = ExtractFileDir(item.FileName);
    if (std::find(changedFolders.begin(), changedFolders.end(), folder) == changedFolders.end())
      continue;
    const TFileStamp stamp = FileStampOf(item.FileName);
    if (stamp == item.Stamp) continue;
    item.Stamp = stamp;
    item.Callback(item.FileName);
  }
  FScanCount.fetch_add(1);
}

void TFileWatcher::Execute() {
  try {
    std::vector<std::string> changed;
    while (!Terminated()) {
      std::optional<std::vector<std::string>> folders;
      {
        std::lock_guard<TCriticalSection> guard(FLock);
        if (FListChanged) folders = Folders();
        FListChanged = false;
      }
      if (folders) {
        FNotifier.SetFolders(*folders);
        // A file may have changed between its Add and the watch on its folder.
        CompareStamps(*folders);
      }
      if (FNotifier.Wait(changed, TFolderChangeNotifier::kInfinite) == TFolderWaitResult::Changed)
        CompareStamps(changed);
    }
  } catch (const std::exception& e) {
    // The thread ends: a failing system call would fail again at once.
    OutputDebugString(std::string("TFileWatcher.Execute error: ") + e.what());
  }
}

namespace {

// The watcher that users share while any of them holds it.
struct TSharedWatcher {
  std::mutex Lock;
  std::weak_ptr<TFileWatcher> Watcher;  // guarded by Lock
};

constinit TProcessSlot<TSharedWatcher> gShared("file watcher");

}  // namespace

std::unique_ptr<TScopePart> MakeFileWatcherSlot() { return gShared.Make(); }

std::shared_ptr<TFileWatcher> AcquireFileWatcher() {
  TSharedWatcher& shared = *gShared;
  std::lock_guard<std::mutex> guard(shared.Lock);
  std::shared_ptr<TFileWatcher> watcher = shared.Watcher.lock();
  if (!watcher) {
    watcher = std::make_shared<TFileWatcher>();
    shared.Watcher = watcher;
  }
  return watcher;
}

}  // namespace quv
