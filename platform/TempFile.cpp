#include "platform/TempFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

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

using TFileIdentity = std::pair<dev_t, ino_t>;

TFileIdentity IdentityOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

// The delete-on-close files open in this process, with how many TTempFile
// objects hold each: the last holder to close a file removes it, so a name
// stays valid while anyone here has the file open. Opening and the last close
// happen under the lock, so an open never finds a name that is being removed.
struct TDeleteOnCloseHolders {
  std::mutex Lock;
  std::map<TFileIdentity, int32_t> Counts;
};

constinit TProcessSlot<TDeleteOnCloseHolders> gHolders("temporary file table");

TDeleteOnCloseHolders& Holders() { return *gHolders; }

}  // namespace

std::unique_ptr<TScopePart> MakeTempFileTable() { return gHolders.Make(); }

TTempFile::TTempFile(std::string fileName, TTempFileAccess access, bool deleteOnClose,
                     bool truncate)
    : FFileName(std::move(fileName)), FDeleteOnClose(deleteOnClose), FNamed(true) {
  std::lock_guard<std::mutex> guard(Holders().Lock);
  FHandle.Reset(OpenNamed(FFileName, access, truncate));
  if (FDeleteOnClose) AddHolder();
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

// An unnamed file has no entry to remove: it vanishes with its descriptor.
TTempFile::~TTempFile() {
  if (!FHandle.Valid() || !FDeleteOnClose || !FNamed) return;
  std::lock_guard<std::mutex> guard(Holders().Lock);
  struct stat status;
  if (fstat(FHandle.Get(), &status) != 0) return;
  const auto found = Holders().Counts.find(IdentityOf(status));
  if (found != Holders().Counts.end() && --found->second > 0) return;
  if (found != Holders().Counts.end()) Holders().Counts.erase(found);
  // The name may have been given to another file since.
  struct stat named;
  if (stat(FFileName.c_str(), &named) == 0 && IdentityOf(named) == IdentityOf(status))
    unlink(FFileName.c_str());
}

const std::string& TTempFile::FileName() {
  if (!FNamed && FHandle.Valid()) EnterName();
  return FFileName;
}

// Counts this object as a holder of its delete-on-close file; under the
// holders' lock.
void TTempFile::AddHolder() {
  struct stat status;
  if (fstat(FHandle.Get(), &status) != 0) RaiseLastOSError("fstat " + FFileName);
  ++Holders().Counts[IdentityOf(status)];
}

// Links the open file into its folder through its /proc entry, the one link
// an unprivileged process may make to an unnamed file. A leftover of an
// earlier process under the same name gives way, as it would to a new file
// created under that name. From then on it is held like a file opened by name.
void TTempFile::EnterName() {
  std::lock_guard<std::mutex> guard(Holders().Lock);
  const std::string self = "/proc/self/fd/" + std::to_string(FHandle.Get());
  auto link = [&] {
    return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, FFileName.c_str(), AT_SYMLINK_FOLLOW) == 0;
  };
  if (!link() && !(errno == EEXIST && unlink(FFileName.c_str()) == 0 && link()))
    RaiseLastOSError("link " + FFileName);
  FNamed = true;
  AddHolder();
}

}  // namespace quv
