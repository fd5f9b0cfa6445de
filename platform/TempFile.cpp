#include "platform/TempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

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

}  // namespace

TTempFile::TTempFile(std::string fileName, TTempFileAccess access, bool deleteOnClose,
                     bool truncate)
    : FFileName(std::move(fileName)), FDeleteOnClose(deleteOnClose) {
  // Temporary files are private to the user that makes them.
  FHandle.Reset(open(FFileName.c_str(), OpenFlags(access, truncate), 0600));
  if (!FHandle.Valid()) RaiseLastOSError("open " + FFileName);
}

TTempFile::~TTempFile() {
  if (FHandle.Valid() && FDeleteOnClose) unlink(FFileName.c_str());
}

}  // namespace quv
