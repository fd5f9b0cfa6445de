#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/Exception.h"
#include "platform/UserFolders.h"

namespace quv {

namespace {

// Polling steps while another process holds the lock.
constexpr auto kFirstPause = std::chrono::microseconds(20);
constexpr auto kLongestPause = std::chrono::microseconds(1000);

THandle OpenLockFile(const std::string& fileName) {
  const THandle handle = open(fileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  // A lock file made by another user may be read-only for us; flock works on it all the same.
  return handle != kNoHandle ? handle : open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
}

}  // namespace

std::string NamedMutexFileName(const std::string& name) {
  std::string safeName = name;
  std::replace(safeName.begin(), safeName.end(), '/', '_');
  std::replace(safeName.begin(), safeName.end(), '\0', '_');
  return RuntimeFolder() + "/" + safeName + ".lock";
}

TNamedMutex::TNamedMutex(const std::string& name)
    : FLockFileName(NamedMutexFileName(name)), FHandle(OpenLockFile(FLockFileName)) {
  if (FHandle == kNoHandle) FOpenError = errno;
}

TNamedMutex::~TNamedMutex() { CloseHandle(FHandle); }

void TNamedMutex::Acquire() {
  if (FHandle == kNoHandle) throw EOSError("open " + FLockFileName, FOpenError);
  LockThreadsUntil(std::chrono::steady_clock::time_point::max());
  int result;
  while ((result = flock(FHandle, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (result != 0) {
    const int error = errno;
    UnlockThreads();
    throw EOSError("flock " + FLockFileName, error);
  }
}

bool TNamedMutex::WaitFor(uint32_t timeoutMs) {
  if (FHandle == kNoHandle) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!LockThreadsUntil(deadline)) return false;
  if (LockFileUntil(deadline)) return true;
  UnlockThreads();
  return false;
}

bool TNamedMutex::LockThreadsUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> guard(FThreadsLock);
  const auto free = [this] { return !FThreadInside; };
  if (deadline == std::chrono::steady_clock::time_point::max())
    FThreadLeft.wait(guard, free);
  else if (!FThreadLeft.wait_until(guard, deadline, free))
    return false;
  FThreadInside = true;
  return true;
}

void TNamedMutex::UnlockThreads() {
  {
    std::lock_guard<std::mutex> guard(FThreadsLock);
    FThreadInside = false;
  }
  FThreadLeft.notify_one();
}

bool TNamedMutex::LockFileUntil(std::chrono::steady_clock::time_point deadline) {
  auto pause = std::chrono::duration_cast<std::chrono::microseconds>(kFirstPause);
  for (;;) {
    if (flock(FHandle, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause =
        std::min(pause * 2, std::chrono::duration_cast<std::chrono::microseconds>(kLongestPause));
  }
}

void TNamedMutex::Release() {
  flock(FHandle, LOCK_UN);
  UnlockThreads();
}

}  // namespace quv
