#pragma once

#include <string>

namespace quv {

// An operating-system file handle (a POSIX descriptor). kNoHandle means "no
// handle": 0 cannot serve, since descriptor 0 is valid.
using THandle = int;
inline constexpr THandle kNoHandle = -1;

// Opens an existing file for reading, hinting that it will be read in
// sequence; the descriptor is not inherited by child processes. Raises
// EOSError when the file cannot be opened or is a directory.
THandle OpenFileForSequentialRead(const std::string& fileName);

// Closes `handle`; kNoHandle is ignored.
void CloseHandle(THandle handle);

}  // namespace quv
