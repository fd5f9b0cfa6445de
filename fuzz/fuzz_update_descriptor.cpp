// Reads arbitrary bytes as an update descriptor: every value reads without
// failing, and a value set in section "Attributes" reads back and goes again.
// Every name it lists becomes a cached descriptor's name whose parts fit a
// file name and end in ".upd", and a lock name within its limit; no two
// different names share a cached descriptor.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "loader/quvLoaderFiles.h"
#include "loader/quvUpdateDescriptor.h"

namespace {

constexpr std::size_t kMostNames = 64;  // names checked per input

bool PartsFitFileNames(const std::string& path) {
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end == start || end - start > 255) return false;
    start = end + 1;
  }
  return path.size() >= 4 && path.compare(path.size() - 4, 4, ".upd") == 0;
}

// `name` as the server reads it: both separators alike.
std::string AsServerReadsIt(std::string name) {
  for (char& c : name)
    if (c == '\\') c = '/';
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quv::TUpdateDescriptor descriptor(std::string(reinterpret_cast<const char*>(data), size));
  descriptor.Exists();
  descriptor.UnzipPackPending();
  descriptor.GlobalVersion();
  if (const auto mode = descriptor.Mode(); mode && *mode > 0777) std::abort();
  descriptor.SourceFor("LINUX", "name");
  descriptor.DiffFile(descriptor.CheckSum());
  descriptor.Age();
  std::map<std::string, std::string> cacheNames;  // cached descriptor -> name
  std::size_t checked = 0;
  for (const std::string& name : descriptor.HardDependencies()) {
    if (++checked > kMostNames) break;
    const std::string cache = quv::CacheFileName(name);
    if (!PartsFitFileNames(cache)) std::abort();
    const auto [at, added] = cacheNames.emplace(cache, AsServerReadsIt(name));
    if (!added && at->second != AsServerReadsIt(name)) std::abort();
    if (quv::FileLockName("/opt/app/" + name).size() > quv::kMostLockNameBytes) std::abort();
    quv::MatchesListMask(name, "apps\\*!*.quv");
  }
  descriptor.SetAttribute("UnzipPackPending", "1");
  if (!descriptor.UnzipPackPending()) std::abort();
  descriptor.RemoveAttribute("UnzipPackPending");
  if (!descriptor.Attribute("UnzipPackPending").empty()) std::abort();
  return 0;
}
