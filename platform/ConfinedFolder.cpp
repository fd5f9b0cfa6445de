#include "platform/ConfinedFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/Exception.h"

namespace quv {

namespace {

// Opens `path` (relative) beneath the folder `root`/`rootFd` so that neither
// ".." nor a symbolic link can lead out of it; kNoHandle with errno set.
THandle OpenBeneath(const std::string& root, THandle rootFd, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const long opened = ::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
  if (opened >= 0 || errno != ENOSYS) return static_cast<THandle>(opened);
  // Kernels before openat2: the resolved path must still lie in the folder.
  char resolved[PATH_MAX];
  if (::realpath((root + "/" + path).c_str(), resolved) == nullptr) return kNoHandle;
  const std::string inside(resolved);
  if (inside != root && inside.compare(0, root.size() + 1, root + "/") != 0) {
    errno = EXDEV;
    return kNoHandle;
  }
  return ::open(resolved, flags | O_CLOEXEC | O_NOFOLLOW);
}

[[noreturn]] void RaiseFor(const std::string& path, int code) { throw EOSError(path, code); }

}  // namespace

TConfinedFolder::TConfinedFolder(std::string root)
    : FRoot(std::move(root)), FHandle(::open(FRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!FHandle.Valid()) RaiseFor(FRoot, errno);
}

TAutoCloseHandle TConfinedFolder::OpenEntry(const std::string& path, int flags, unsigned kind,
                                            int64_t& size) const {
  TAutoCloseHandle entry(OpenBeneath(FRoot, FHandle.Get(), path, flags | O_NONBLOCK));
  if (!entry.Valid()) RaiseFor(path, errno);
  struct stat status {};
  if (::fstat(entry.Get(), &status) != 0) RaiseFor(path, errno);
  if ((status.st_mode & S_IFMT) != kind) RaiseFor(path, ENOENT);
  size = static_cast<int64_t>(status.st_size);
  return entry;
}

TAutoCloseHandle TConfinedFolder::OpenFile(const std::string& path, int64_t& size) const {
  return OpenEntry(path, O_RDONLY, S_IFREG, size);
}

std::vector<std::string> TConfinedFolder::FileNames(const std::string& path) const {
  int64_t size = 0;
  TAutoCloseHandle folder = OpenEntry(path, O_RDONLY | O_DIRECTORY, S_IFDIR, size);
  std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(folder.Get()), ::closedir);
  if (!entries) RaiseFor(path, errno);
  folder.Detach();  // closedir closes it now
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(entries.get())) {
    struct stat status {};
    if (::fstatat(::dirfd(entries.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode))
      names.emplace_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quv
