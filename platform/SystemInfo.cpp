#include "platform/SystemInfo.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <langinfo.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <climits>
#include <cstring>
#include <limits>

namespace quv {

uint64_t PhysicalMemorySize() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

int64_t ThreadId() { return gettid(); }

// Signal 0 only asks: a process of another user answers "not permitted". Ids
// of 0 and above the largest pid_t never reach kill, where they would name
// process groups.
bool ProcessExists(uint32_t processId) {
  if (processId == 0 || processId > uint32_t(std::numeric_limits<pid_t>::max())) return false;
  return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

uintptr_t ModuleInstanceHandle() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleInstanceHandle), &info) == 0) return 0;
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

std::string SystemName() {
  utsname name{};
  return uname(&name) == 0 ? name.sysname : "";
}

std::vector<std::string> HostNamesAndAddresses() {
  std::vector<std::string> names;
  char hostName[HOST_NAME_MAX + 1] = {};
  if (gethostname(hostName, sizeof hostName - 1) == 0) names.emplace_back(hostName);
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return names;
  for (const ifaddrs* item = interfaces; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(item->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr)
      names.emplace_back(text);
  }
  freeifaddrs(interfaces);
  return names;
}

bool UserLocaleIsUtf8() {
  std::setlocale(LC_CTYPE, "");
  return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
}

}  // namespace quv
