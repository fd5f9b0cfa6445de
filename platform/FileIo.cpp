#include "platform/FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "platform/SystemInfo.h"

namespace quv {

namespace {

constexpr int64_t kMiB = int64_t(1) << 20;
constexpr int kTemporaryNameAttempts = 100;
constexpr mode_t kPermissionBits = 07777;

// Numbers the temporary files of this process, so that two threads replacing
// one file never write the same temporary.
std::atomic<uint32_t> gTemporaryCount{0};

std::string SizeText(int64_t bytes) {
  return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB"
                           : std::to_string(bytes) + " bytes";
}

[[noreturn]] void RaiseTooLarge(const std::string& name, int64_t maxBytes) {
  throw EFileError(name, "larger than " + SizeText(maxBytes));
}

// The status of the open file `fileName`; refuses a folder and a regular file
// over the cap before anything is read.
struct stat CheckedStatus(THandle file, const std::string& fileName, int64_t maxBytes) {
  struct stat status {};
  if (::fstat(file, &status) != 0) throw EFileError(fileName, errno);
  if (S_ISDIR(status.st_mode)) throw EFileError(fileName, EISDIR);
  if (S_ISREG(status.st_mode) && status.st_size > maxBytes) RaiseTooLarge(fileName, maxBytes);
  return status;
}

// Reads `handle` to its end onto `bytes`; the cap holds also for a file that
// grows while it is read.
void AppendToEnd(THandle handle, const std::string& name, int64_t maxBytes, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(handle, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw EFileError(name, errno);
    if (got == 0) return;
    if (static_cast<int64_t>(bytes.size()) + got > maxBytes) RaiseTooLarge(name, maxBytes);
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

// A new file beside `fileName` under a name of its own, written to
// `temporary`; invalid, with errno set, when none can be made.
TAutoCloseHandle CreateBeside(const std::string& fileName, mode_t mode, std::string& temporary) {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    temporary = fileName + ".~" + std::to_string(ProcessId()) + "-" +
                std::to_string(gTemporaryCount.fetch_add(1)) + ".tmp";
    TAutoCloseHandle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (file.Valid() || errno != EEXIST) return file;
  }
  return TAutoCloseHandle();
}

// Gives the new file the mode of the file it replaces, when there is one.
bool KeepMode(THandle file, const std::string& fileName) {
  struct stat replaced {};
  if (::stat(fileName.c_str(), &replaced) != 0) return errno == ENOENT;
  return ::fchmod(file, replaced.st_mode & kPermissionBits) == 0;
}

// Fills the open temporary and closes it; the errno of a failure, else 0.
int WriteTemporary(TAutoCloseHandle file, const std::string& fileName,
                   const TContentWriter& write) {
  errno = 0;
  if (!KeepMode(file.Get(), fileName) || !write(file.Get()) || ::fsync(file.Get()) != 0 ||
      ::close(file.Detach()) != 0)
    return errno != 0 ? errno : EIO;
  return 0;
}

}  // namespace

EFileError::EFileError(const std::string& fileName, const std::string& reason, int code)
    : Exception(fileName + ": " + reason), FCode(code) {}

EFileError::EFileError(const std::string& fileName, int code)
    : EFileError(fileName, SysErrorMessage(code), code) {}

std::string ReadWholeFile(const std::string& fileName, const TReadLimits& limits) {
  const TAutoCloseHandle file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.Valid()) throw EFileError(fileName, errno);
  const struct stat status = CheckedStatus(file.Get(), fileName, limits.MaxBytes);
  std::string bytes;
  if (S_ISREG(status.st_mode)) bytes.reserve(static_cast<std::size_t>(status.st_size));
  AppendToEnd(file.Get(), fileName, limits.MaxBytes, bytes);
  if (bytes.empty() && limits.RequireContent) throw EFileError(fileName, "the file is empty");
  return bytes;
}

std::string ReadWholeFileOrEmpty(const std::string& fileName) {
  try {
    return ReadWholeFile(fileName);
  } catch (const EFileError&) {
    return std::string();
  }
}

std::string ReadToEnd(THandle handle, const std::string& name, int64_t maxBytes) {
  std::string bytes;
  AppendToEnd(handle, name, maxBytes, bytes);
  return bytes;
}

void ReplaceFileAtomically(const std::string& fileName, const TContentWriter& write,
                           uint32_t newFileMode) {
  std::string temporary;
  TAutoCloseHandle file = CreateBeside(fileName, static_cast<mode_t>(newFileMode), temporary);
  if (!file.Valid()) throw EFileError(fileName, errno);
  int error = 0;
  try {
    error = WriteTemporary(std::move(file), fileName, write);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  if (error == 0 && ::rename(temporary.c_str(), fileName.c_str()) != 0) error = errno;
  if (error == 0) return;
  ::unlink(temporary.c_str());
  throw EFileError(fileName, error);
}

void ReplaceFileAtomically(const std::string& fileName, std::string_view content,
                           uint32_t newFileMode) {
  ReplaceFileAtomically(
      fileName, [content](THandle file) { return WriteAll(file, content); }, newFileMode);
}

bool FileExists(const std::string& fileName) {
  struct stat status {};
  return ::stat(fileName.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool IsWritableFolder(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         ::access(path.c_str(), W_OK) == 0;
}

int64_t FileAge(const std::string& fileName) {
  struct stat status {};
  return ::stat(fileName.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_mtime) : 0;
}

void SetFileAge(const std::string& fileName, int64_t age) {
  const timespec times[2] = {{static_cast<time_t>(age), 0}, {static_cast<time_t>(age), 0}};
  if (::utimensat(AT_FDCWD, fileName.c_str(), times, 0) != 0) throw EFileError(fileName, errno);
}

}  // namespace quv
