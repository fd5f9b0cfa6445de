#include "platform/SystemInfo.h"

#include <dlfcn.h>
#include <unistd.h>

namespace quv {

uint64_t PhysicalMemorySize() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

uintptr_t ModuleInstanceHandle() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleInstanceHandle), &info) == 0) return 0;
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

}  // namespace quv
