#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/SharedMemory.h"

namespace quv {

// The content of the shared memory `name` as another process sees it, through
// a mapping of its own; nothing when there is no such memory.
inline std::optional<std::string> ReadShared(const std::string& name) {
  const int handle = shm_open(SharedMemoryObjectName(name).c_str(), O_RDONLY, 0);
  if (handle < 0) return std::nullopt;
  struct stat info {};
  fstat(handle, &info);
  const auto size = static_cast<std::size_t>(info.st_size);
  void* memory = mmap(nullptr, size, PROT_READ, MAP_SHARED, handle, 0);
  close(handle);
  if (memory == MAP_FAILED) return std::string();
  std::string content(static_cast<const char*>(memory), size);
  munmap(memory, size);
  return content;
}

}  // namespace quv
