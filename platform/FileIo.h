#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Exception.h"
#include "platform/FileHandle.h"

// Whole files by name, the same way for every layer: reading one under a
// size cap, replacing one atomically, and the few facts about a file that
// the other layers ask for.
namespace quv {

// The most bytes ReadWholeFile takes unless the caller gives a smaller cap;
// also the cap of the files people name on a command line.
inline constexpr int64_t kMaxWholeFileBytes = int64_t(256) << 20;

// A file that could not be read, replaced or run: "FILE: REASON". Code() is
// the system's error code, 0 when the reason is not one (empty, too large).
class EFileError : public Exception {
 public:
  EFileError(const std::string& fileName, const std::string& reason, int code = 0);
  // The reason is the system's text for `code`.
  EFileError(const std::string& fileName, int code);
  int Code() const noexcept { return FCode; }

 private:
  int FCode;
};

struct TReadLimits {
  int64_t MaxBytes = kMaxWholeFileBytes;
  bool RequireContent = false;  // an empty file is refused ("the file is empty")
};

// The bytes of the file `fileName`. Raises EFileError when it cannot be
// opened or read (the system's reason: "No such file or directory", "Is a
// directory", ...), holds more than limits.MaxBytes ("larger than 256 MiB";
// a regular file's size is checked before anything is allocated for it), or
// is empty while content is required.
std::string ReadWholeFile(const std::string& fileName, const TReadLimits& limits = {});

// The same, but empty when the file cannot be read, for files whose absence
// or damage means "nothing set": missing, unreadable, a folder, too large.
std::string ReadWholeFileOrEmpty(const std::string& fileName);

// What `handle` (a pipe, a terminal or a file) gives until its end, under the
// same cap; `name` names it in the messages. May be empty.
std::string ReadToEnd(THandle handle, const std::string& name,
                      int64_t maxBytes = kMaxWholeFileBytes);

// Writes the whole new content to the open file; false, with errno set, when
// it fails.
using TContentWriter = std::function<bool(THandle file)>;

// Puts what `write` writes in place of `fileName`: a new file in the same
// folder is written, flushed to the disk and renamed over the target, so the
// file holds either its old or its new content, and no temporary file stays
// behind. The replaced file's mode is kept; a new file gets `newFileMode`
// less the umask. Raises EFileError naming `fileName`, with the system's code;
// an exception that `write` raises passes on, the temporary file removed.
void ReplaceFileAtomically(const std::string& fileName, const TContentWriter& write,
                           uint32_t newFileMode);
void ReplaceFileAtomically(const std::string& fileName, std::string_view content,
                           uint32_t newFileMode);

// Whether `fileName` is a regular file (or a link to one).
bool FileExists(const std::string& fileName);
// Whether `path` is a folder this process may create files in.
bool IsWritableFolder(const std::string& path);

// The modification time of `fileName` in seconds since 1970; 0 when missing.
int64_t FileAge(const std::string& fileName);
// Sets it; raises EFileError when it cannot be set.
void SetFileAge(const std::string& fileName, int64_t age);

}  // namespace quv
