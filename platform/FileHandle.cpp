#include "platform/FileHandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Exception.h"

namespace quv {

namespace {

bool IsDirectory(THandle handle) {
  struct stat info {};
  return fstat(handle, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

THandle OpenFileForSequentialRead(const std::string& fileName) {
  const THandle handle = open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle == kNoHandle) RaiseLastOSError("open " + fileName);
  // A directory opens for reading on POSIX but cannot be read as a file.
  if (IsDirectory(handle)) {
    CloseHandle(handle);
    errno = EISDIR;
    RaiseLastOSError("open " + fileName);
  }
  // Only a hint: a file system that ignores it still reads correctly.
  posix_fadvise(handle, 0, 0, POSIX_FADV_SEQUENTIAL);
  return handle;
}

void CloseHandle(THandle handle) {
  if (handle != kNoHandle) close(handle);
}

THandle OpenFileForAppend(const std::string& fileName) {
  return open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

bool WriteAll(THandle handle, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = write(handle, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace quv
