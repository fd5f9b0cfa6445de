#include "platform/TempFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "platform/Exception.h"

namespace quv {

std::string TempDirectory() {
  const char* folder = std::getenv("TMPDIR");
  std::string result = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  if (result.back() != '/') result += '/';
  return result;
}

namespace {

int OpenFlags(TTempFileAccess access, bool truncate) {
  int flags = O_CREAT | O_CLOEXEC;
  if (truncate) flags |= O_TRUNC;
  switch (access) {
    case TTempFileAccess::Read:
      return flags | O_RDONLY;
    case TTempFileAccess::Write:
      return flags | O_WRONLY;
    case TTempFileAccess::ReadWrite:
      return flags | O_RDWR;
  }
  return flags | O_RDWR;
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

TDeleteOnCloseHolders& Holders() {
  static TDeleteOnCloseHolders holders;
  return holders;
}

}  // namespace

TTempFile::TTempFile(std::string fileName, TTempFileAccess access, bool deleteOnClose,
                     bool truncate)
    : FFileName(std::move(fileName)), FDeleteOnClose(deleteOnClose) {
  std::lock_guard<std::mutex> guard(Holders().Lock);
  // Temporary files are private to the user that makes them.
  FHandle.Reset(open(FFileName.c_str(), OpenFlags(access, truncate), 0600));
  if (!FHandle.Valid()) RaiseLastOSError("open " + FFileName);
  if (!FDeleteOnClose) return;
  struct stat status;
  if (fstat(FHandle.Get(), &status) != 0) RaiseLastOSError("fstat " + FFileName);
  ++Holders().Counts[IdentityOf(status)];
}

TTempFile::~TTempFile() {
  if (!FHandle.Valid() || !FDeleteOnClose) return;
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

}  // namespace quv
