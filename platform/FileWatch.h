#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/FileHandle.h"

namespace quv {

// What ended a wait of TFolderChangeNotifier.
enum class TFolderWaitResult : uint8_t { Changed, Woken, TimedOut };

// Change notification for a set of folders: file names appearing, going or
// being renamed, and files written or having their attributes changed. One
// thread waits; Wake may be called from any thread. Move-free: it owns its
// descriptors for its whole life.
class TFolderChangeNotifier final {
 public:
  // Raises EOSError when the system cannot give a notification descriptor.
  TFolderChangeNotifier();
  ~TFolderChangeNotifier();
  TFolderChangeNotifier(const TFolderChangeNotifier&) = delete;
  TFolderChangeNotifier& operator=(const TFolderChangeNotifier&) = delete;

  // Watches exactly these folders from now on. A folder that cannot be
  // watched (missing, no permission) is left out and reported by the result.
  std::vector<std::string> SetFolders(const std::vector<std::string>& folders);
  // Waits until something changes in a watched folder (`changed` receives the
  // folders), Wake is called, or `timeoutMs` passes (kInfinite: no limit).
  TFolderWaitResult Wait(std::vector<std::string>& changed, uint32_t timeoutMs);
  // Ends the current or the next Wait with Woken. Thread-safe.
  void Wake();

  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

 private:
  void DrainWake();
  void ReadEvents(std::vector<std::string>& changed);

  TAutoCloseHandle FNotify;
  TAutoCloseHandle FWakeRead;
  TAutoCloseHandle FWakeWrite;
  std::map<int, std::string> FFolders;  // watch descriptor to folder
};

// What identifies one state of a file: a replaced or rewritten file gets
// another stamp. Missing files have the stamp Exists = false.
struct TFileStamp {
  bool Exists = false;
  int64_t ModifiedNs = 0;
  int64_t Size = 0;
  uint64_t Inode = 0;
  bool operator==(const TFileStamp&) const = default;
};

TFileStamp FileStampOf(const std::string& fileName);

}  // namespace quv
