#include "platform/FileWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Exception.h"

namespace quv {

namespace {

constexpr uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB;

}  // namespace

TFolderChangeNotifier::TFolderChangeNotifier() {
  FNotify.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!FNotify.Valid()) RaiseLastOSError("inotify_init1");
  int ends[2];
  if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) RaiseLastOSError("pipe2");
  FWakeRead.Reset(ends[0]);
  FWakeWrite.Reset(ends[1]);
}

TFolderChangeNotifier::~TFolderChangeNotifier() = default;

std::vector<std::string> TFolderChangeNotifier::SetFolders(
    const std::vector<std::string>& folders) {
  // Watches of folders that stay are kept: removing one drops the events it
  // has queued.
  for (auto it = FFolders.begin(); it != FFolders.end();) {
    if (std::find(folders.begin(), folders.end(), it->second) != folders.end()) {
      ++it;
      continue;
    }
    inotify_rm_watch(FNotify.Get(), it->first);
    it = FFolders.erase(it);
  }
  std::vector<std::string> failed;
  for (const std::string& folder : folders) {
    const bool watched = std::any_of(FFolders.begin(), FFolders.end(),
                                     [&folder](const auto& item) { return item.second == folder; });
    if (watched) continue;
    const int descriptor = inotify_add_watch(FNotify.Get(), folder.c_str(), kFolderEvents);
    if (descriptor < 0)
      failed.push_back(folder);
    else
      FFolders[descriptor] = folder;
  }
  return failed;
}

TFolderWaitResult TFolderChangeNotifier::Wait(std::vector<std::string>& changed,
                                              uint32_t timeoutMs) {
  changed.clear();
  pollfd fds[2] = {{FWakeRead.Get(), POLLIN, 0}, {FNotify.Get(), POLLIN, 0}};
  const int timeout =
      timeoutMs == kInfinite ? -1 : static_cast<int>(std::min<uint32_t>(timeoutMs, 0x7FFFFFFF));
  int ready;
  do {
    ready = poll(fds, 2, timeout);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) RaiseLastOSError("poll");
  if (ready == 0) return TFolderWaitResult::TimedOut;
  if (fds[0].revents != 0) {
    DrainWake();
    return TFolderWaitResult::Woken;
  }
  ReadEvents(changed);
  return changed.empty() ? TFolderWaitResult::TimedOut : TFolderWaitResult::Changed;
}

void TFolderChangeNotifier::Wake() {
  const char signal = 1;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = write(FWakeWrite.Get(), &signal, 1);
}

void TFolderChangeNotifier::DrainWake() {
  char buffer[64];
  while (read(FWakeRead.Get(), buffer, sizeof buffer) > 0) {
  }
}

void TFolderChangeNotifier::ReadEvents(std::vector<std::string>& changed) {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(FNotify.Get(), buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const auto found = FFolders.find(event.wd);
      if (found != FFolders.end() &&
          std::find(changed.begin(), changed.end(), found->second) == changed.end()) {
        changed.push_back(found->second);
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
  }
}

TFileStamp FileStampOf(const std::string& fileName) {
  struct stat info {};
  if (stat(fileName.c_str(), &info) != 0) return {};
  return {true, static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
          static_cast<int64_t>(info.st_size), static_cast<uint64_t>(info.st_ino)};
}

}  // namespace quv
