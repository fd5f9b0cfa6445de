#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileHandle.h"

namespace quv {

// Named memory that other processes can map: the system object "/" + name
// (shm_open), created zero-filled by this owner and mapped for reading and
// writing. The owner unmaps, closes and removes it; the process that made it
// does, so a forked child that exits leaves its parent's memory alone.
// Move-only; the memory itself is not guarded.
class TSharedMemory final {
 public:
  TSharedMemory() = default;
  // Creates `size` bytes under `name`, replacing an object a dead process left
  // behind under that name. Raises EOSError when the system refuses.
  TSharedMemory(const std::string& name, std::size_t size);
  ~TSharedMemory();
  TSharedMemory(TSharedMemory&& other) noexcept;
  TSharedMemory& operator=(TSharedMemory&& other) noexcept;
  TSharedMemory(const TSharedMemory&) = delete;
  TSharedMemory& operator=(const TSharedMemory&) = delete;

  uint8_t* Memory() const { return FMemory; }
  std::size_t Size() const { return FSize; }
  const std::string& Name() const { return FName; }

 private:
  void Swap(TSharedMemory& other) noexcept;

  std::string FName;
  uint8_t* FMemory = nullptr;
  std::size_t FSize = 0;
  TAutoCloseHandle FHandle;
  pid_t FCreator = 0;
};

// Removes the shared memory objects named `prefix` + a process id whose
// process has ended (killed before it could remove its own); returns how many.
int32_t RemoveSharedMemoryOfEndedProcesses(std::string_view prefix);

// The system object name of the shared memory `name`.
std::string SharedMemoryObjectName(const std::string& name);

}  // namespace quv
