#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/FileHandle.h"

namespace quv {

// A lock shared by every process of the user, known by its name like a
// system mutex: flock() on the lock file <runtime folder>/<name>.lock. The
// threads of one process exclude each other as well. A holder that dies
// releases it, as an abandoned mutex is then obtained by the next waiter.
// Waits run on the real monotonic time, since another process holds the lock.
// Thread-safe; not initially owned.
class TNamedMutex final {
 public:
  explicit TNamedMutex(const std::string& name);
  ~TNamedMutex();
  TNamedMutex(const TNamedMutex&) = delete;
  TNamedMutex& operator=(const TNamedMutex&) = delete;

  // Waits without limit; raises EOSError when the lock file could not be
  // opened or locked.
  void Acquire();
  // Waits at most `timeoutMs`; true when the lock was obtained.
  bool WaitFor(uint32_t timeoutMs);
  // Releases a lock obtained by Acquire or WaitFor, on the thread that holds it.
  void Release();

  const std::string& LockFileName() const { return FLockFileName; }

 private:
  bool LockThreadsUntil(std::chrono::steady_clock::time_point deadline);
  void UnlockThreads();
  bool LockFileUntil(std::chrono::steady_clock::time_point deadline);

  std::string FLockFileName;
  THandle FHandle = kNoHandle;
  int FOpenError = 0;
  // Excludes the threads of this process, since they share one lock file
  // descriptor. (A flag under a condition variable rather than a timed mutex:
  // the thread sanitizer does not see timed mutex waits.)
  std::mutex FThreadsLock;
  std::condition_variable FThreadLeft;
  bool FThreadInside = false;
};

// The lock file of the named lock `name`: path delimiters and zero bytes of
// the name become '_'.
std::string NamedMutexFileName(const std::string& name);

}  // namespace quv
