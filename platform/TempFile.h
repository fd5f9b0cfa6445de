#pragma once

#include <cstdint>
#include <string>

#include "platform/FileHandle.h"

namespace quv {

// The folder for temporary files: $TMPDIR when set and not empty, else /tmp;
// always with a trailing "/".
std::string TempDirectory();

enum class TTempFileAccess : uint8_t { Read, Write, ReadWrite };

// A temporary file opened by name and created when missing, closed when this
// object goes. A delete-on-close file is removed when the last object of this
// process that opened it with delete-on-close closes it, not before, so other
// code may reopen it by name while anyone here holds it. POSIX has no share
// modes: every open of the name is allowed. Move-only; one object is used by
// one thread at a time, different objects by any threads.
class TTempFile final {
 public:
  // `truncate` empties a file that exists already. Raises EOSError with the
  // system's reason when the file cannot be opened.
  TTempFile(std::string fileName, TTempFileAccess access, bool deleteOnClose, bool truncate);
  ~TTempFile();
  TTempFile(TTempFile&& other) noexcept = default;
  TTempFile& operator=(TTempFile&& other) = delete;

  THandle Handle() const { return FHandle.Get(); }
  const std::string& FileName() const { return FFileName; }
  bool DeleteOnClose() const { return FDeleteOnClose; }

 private:
  TAutoCloseHandle FHandle;
  std::string FFileName;
  bool FDeleteOnClose;
};

}  // namespace quv
