#pragma once

#include <string>
#include <string_view>

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

// Opens a file for appending, creating it when missing; every write goes to
// the end of the file, also while other processes append to it. kNoHandle
// when it cannot be opened.
THandle OpenFileForAppend(const std::string& fileName);

// Writes all of `data`, continuing after partial writes; false on failure.
bool WriteAll(THandle handle, std::string_view data);

// Owns a file handle and closes it when destroyed. Move-only.
class TAutoCloseHandle final {
 public:
  TAutoCloseHandle() = default;
  explicit TAutoCloseHandle(THandle handle) : FHandle(handle) {}
  ~TAutoCloseHandle() { CloseHandle(FHandle); }
  TAutoCloseHandle(TAutoCloseHandle&& other) noexcept : FHandle(other.Detach()) {}
  TAutoCloseHandle& operator=(TAutoCloseHandle&& other) noexcept {
    Reset(other.Detach());
    return *this;
  }
  TAutoCloseHandle(const TAutoCloseHandle&) = delete;
  TAutoCloseHandle& operator=(const TAutoCloseHandle&) = delete;

  THandle Get() const { return FHandle; }
  bool Valid() const { return FHandle != kNoHandle; }
  // Closes the current handle and takes `handle`.
  void Reset(THandle handle = kNoHandle) {
    if (handle != FHandle) CloseHandle(FHandle);
    FHandle = handle;
  }
  THandle Detach() {
    const THandle handle = FHandle;
    FHandle = kNoHandle;
    return handle;
  }

 private:
  THandle FHandle = kNoHandle;
};

}  // namespace quv
