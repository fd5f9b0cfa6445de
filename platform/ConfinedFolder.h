#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileHandle.h"

namespace quv {

// A folder whose files are opened by paths relative to it that lead out of
// it neither through ".." nor through a symbolic link. Failures raise
// EOSError with the system's code: ENOENT also for an entry of the wrong
// kind (a folder asked for as a file, or the reverse), EXDEV or ELOOP for a
// path that leads out. Move-only; one thread at a time.
class TConfinedFolder final {
 public:
  // Opens the folder `root`, a canonical path.
  explicit TConfinedFolder(std::string root);

  // Opens the regular file `path` for reading; its size goes to `size`. The
  // open does not block, so that a FIFO in the folder cannot hold the caller.
  TAutoCloseHandle OpenFile(const std::string& path, int64_t& size) const;
  // The names of the regular files in the folder `path` ("." for the folder
  // itself), sorted; symbolic links are not followed.
  std::vector<std::string> FileNames(const std::string& path) const;

 private:
  // Opens `path` beneath the folder and checks that it is of `kind` (the
  // type bits of a file mode); its size goes to `size`.
  TAutoCloseHandle OpenEntry(const std::string& path, int flags, unsigned kind,
                             int64_t& size) const;

  std::string FRoot;
  TAutoCloseHandle FHandle;
};

}  // namespace quv
