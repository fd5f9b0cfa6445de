#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileWatch.h"
#include "platform/ProcessSlot.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace quv {

// One thread that tells owners when their watched files change on disk (a
// file's stamp is compared whenever its folder reports a change). Shared by
// every user in the process; the last user's release stops and joins the
// thread. Thread-safe. Callbacks run on the watcher thread under its lock:
// they must be short and must not call back into the watcher.
class TFileWatcher final : public TThread {
 public:
  using TCallback = std::function<void(const std::string& fileName)>;

  TFileWatcher();
  ~TFileWatcher() override;

  void Add(const std::string& fileName, const void* owner, TCallback callback);
  // Removes every file of `owner`; no callback of it runs after the return.
  void Remove(const void* owner);
  // How often the watcher compared stamps (tests wait for it).
  uint32_t ScanCount() const { return FScanCount.load(); }

 protected:
  void Execute() override;

 private:
  struct TFileWatcherItem {
    std::string FileName;
    TCallback Callback;
    const void* Owner;
    TFileStamp Stamp;
  };

  std::vector<std::string> Folders();
  void CompareStamps(const std::vector<std::string>& changedFolders);

  TCriticalSection FLock;
  std::vector<TFileWatcherItem> FItems;
  bool FListChanged = true;
  TFolderChangeNotifier FNotifier;
  std::atomic<uint32_t> FScanCount{0};
};

// Makes the place where users find the process's watcher; every user must
// have let its watcher go before the part ends.
std::unique_ptr<TScopePart> MakeFileWatcherSlot();
// The process's watcher, made when the first user asks for it.
std::shared_ptr<TFileWatcher> AcquireFileWatcher();

}  // namespace quv
