#pragma once

#include <cstdint>
#include <string>

#include "platform/FileHandle.h"
#include "platform/ProcessSlot.h"

namespace quv {

// The folder for temporary files: $TMPDIR when set and not empty, else /tmp;
// always with a trailing "/".
std::string TempDirectory();

enum class TTempFileAccess : uint8_t { Read, Write, ReadWrite };

// Makes the process's table of delete-on-close files that are open.
std::unique_ptr<TScopePart> MakeTempFileTable();

// A temporary file, closed when this object goes. A delete-on-close file that
// has a name in its folder is removed when the last object of this process
// that holds it with delete-on-close closes it, not before, so other code may
// reopen it by name while anyone here holds it; an unnamed one has no entry to
// remove and vanishes with its last descriptor, also when the process dies.
// POSIX has no share modes: every open of the name is allowed. Move-only; one
// object is used by one thread at a time, different objects by any threads.
class TTempFile final {
 public:
  // Opens `fileName`, creating it when missing; `truncate` empties a file
  // that exists already. Raises EOSError with the system's reason when the
  // file cannot be opened.
  TTempFile(std::string fileName, TTempFileAccess access, bool deleteOnClose, bool truncate);
  // A new, empty delete-on-close file that goes by `fileName` but is entered
  // in its folder only when FileName() is first asked for. Where the file
  // system makes no unnamed files, or for read access, it is created under
  // its name at once, as the constructor does.
  static TTempFile Unnamed(std::string fileName, TTempFileAccess access);
  ~TTempFile();
  TTempFile(TTempFile&& other) noexcept = default;
  TTempFile& operator=(TTempFile&& other) = delete;

  THandle Handle() const { return FHandle.Get(); }
  // The file's name, under which an unnamed file is first entered in its
  // folder, so that the caller can open it by name. Raises EOSError when the
  // entry cannot be made.
  const std::string& FileName();
  // Whether the file has its name in its folder.
  bool Named() const { return FNamed; }
  bool DeleteOnClose() const { return FDeleteOnClose; }

 private:
  TTempFile(std::string fileName, THandle handle, bool deleteOnClose, bool named);
  void EnterName();
  void AddHolder();

  TAutoCloseHandle FHandle;
  std::string FFileName;
  bool FDeleteOnClose;
  bool FNamed;
};

}  // namespace quv
