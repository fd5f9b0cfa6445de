#include "platform/TempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Exception.h"
#include "platform/ExePath.h"

namespace quv {

std::string TempDirectory() {
  const char* folder = std::getenv("TMPDIR");
  std::string result = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  if (result.back() != '/') result += '/';
  return result;
}

namespace {

// Temporary files are private to the user that makes them.
constexpr mode_t kPrivateFile = 0600;

int AccessFlags(TTempFileAccess access) {
  switch (access) {
    case TTempFileAccess::Read:
      return O_RDONLY;
    case TTempFileAccess::Write:
      return O_WRONLY;
    case TTempFileAccess::ReadWrite:
      return O_RDWR;
  }
  return O_RDWR;
}

THandle OpenNamed(const std::string& fileName, TTempFileAccess access, bool truncate) {
  const int flags = O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0) | AccessFlags(access);
  const THandle handle = open(fileName.c_str(), flags, kPrivateFile);
  if (handle == kNoHandle) RaiseLastOSError("open " + fileName);
  return handle;
}

}  // namespace

TTempFile::TTempFile(std::string fileName, TTempFileAccess access, bool deleteOnClose,
                     bool truncate)
    : FFileName(std::move(fileName)), FDeleteOnClose(deleteOnClose), FNamed(true) {
  FHandle.Reset(OpenNamed(FFileName, access, truncate));
}

TTempFile::TTempFile(std::string fileName, THandle handle, bool deleteOnClose, bool named)
    : FHandle(handle),
      FFileName(std::move(fileName)),
      FDeleteOnClose(deleteOnClose),
      FNamed(named) {}

TTempFile TTempFile::Unnamed(std::string fileName, TTempFileAccess access) {
  if (access != TTempFileAccess::Read) {
    const std::string folder = ExtractFileDir(fileName);
    const THandle handle = open(folder.empty() ? "." : folder.c_str(),
                                O_TMPFILE | O_CLOEXEC | AccessFlags(access), kPrivateFile);
    if (handle != kNoHandle) return TTempFile(std::move(fileName), handle, true, false);
  }
  // The named file reports the folder's own failures.
  return TTempFile(std::move(fileName), access, true, true);
}

TTempFile::~TTempFile() {
  if (FHandle.Valid() && FDeleteOnClose && FNamed) unlink(FFileName.c_str());
}

const std::string& TTempFile::FileName() {
  if (!FNamed && FHandle.Valid()) EnterName();
  return FFileName;
}

// Links the open file into its folder through its /proc entry, the one link
// an unprivileged process may make to an unnamed file. A leftover of an
// earlier process under the same name gives way, as it would to a new file
// created under that name.
void TTempFile::EnterName() {
  const std::string self = "/proc/self/fd/" + std::to_string(FHandle.Get());
  auto link = [&] {
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, FFileName.c_str(), AT_SYMLINK_FOLLOW) == 0;
  };
  if (!link() && !(errno == EEXIST && unlink(FFileName.c_str()) == 0 && link()))
    RaiseLastOSError("link " + FFileName);
  FNamed = true;
}

}  // namespace quv
