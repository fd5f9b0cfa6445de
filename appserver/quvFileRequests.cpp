#include "appserver/quvFileRequests.h"

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

#include "platform/Cp1252.h"
#include "platform/FileHandle.h"
#include "server/common/quvViewStream.h"

namespace quv {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// A request the server answers with a text instead of a file.
class EFileRefused : public Exception {
 public:
  using Exception::Exception;
};

[[noreturn]] void Refuse(std::string_view reason, std::string_view name) {
  throw EFileRefused(std::string(reason) + std::string(name));
}

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The client's name as a path relative to the served folder: '\' becomes
// '/'; empty names, absolute ones, drive letters, NUL bytes and ".." parts
// are refused.
std::string RelativePath(std::string_view name) {
  std::string path(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path.front() == '/' || (path.size() > 1 && path[1] == ':') ||
      path.find('\0') != std::string::npos)
    Refuse("Nome de arquivo recusado: ", name);
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (path.compare(start, end - start, "..") == 0) Refuse("Nome de arquivo recusado: ", name);
    start = end + 1;
  }
  return path;
}

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

// Why `name` could not be opened, from the errno of the attempt.
[[noreturn]] void RefuseOpen(std::string_view name) {
  const int code = errno;
  if (code == ENOENT || code == ENOTDIR) Refuse("Arquivo não encontrado: "_cp, name);
  if (code == EXDEV || code == ELOOP) Refuse("Nome de arquivo recusado: ", name);
  Refuse(
      std::string("Erro abrindo o arquivo "_cp) + std::string(name) + ": " + SysErrorMessage(code),
      "");
}

// Answers one request; a refusal becomes a text item.
class TFileAnswer final {
 public:
  TFileAnswer(TquvPackageWriter& writer, const std::string& directory)
      : FWriter(writer), FDirectory(directory) {}

  void Answer(const TquvFileRequest& request) {
    try {
      if (FDirectory.empty()) Refuse("Este servidor não publica arquivos"_cp, "");
      if (!FRoot.Valid()) OpenRoot();
      if (request.Kind == kFileRequestList)
        SendList(request);
      else
        SendFile(request);
    } catch (const EFileRefused& e) {
      FWriter.WriteText(e.what());
    }
  }

 private:
  void OpenRoot() {
    FRoot.Reset(::open(FDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!FRoot.Valid()) RefuseOpen(FDirectory);
  }

  // Opens `name` beneath the folder and checks it is `kind` (S_IFREG, S_IFDIR).
  TAutoCloseHandle Open(std::string_view name, const std::string& path, int flags, mode_t kind,
                        struct stat& status) {
    // Non-blocking, so that a FIFO in the folder cannot hold the connection.
    TAutoCloseHandle file(OpenBeneath(FDirectory, FRoot.Get(), path, flags | O_NONBLOCK));
    if (!file.Valid()) RefuseOpen(name);
    if (::fstat(file.Get(), &status) != 0) RefuseOpen(name);
    if ((status.st_mode & S_IFMT) != kind) Refuse("Arquivo não encontrado: "_cp, name);
    return file;
  }

  void SendFile(const TquvFileRequest& request) {
    struct stat status {};
    const TAutoCloseHandle file =
        Open(request.FileName, RelativePath(request.FileName), O_RDONLY, S_IFREG, status);
    if (status.st_size > INT32_MAX) Refuse("Arquivo grande demais: ", request.FileName);
    THandleStream contents(file.Get());
    FWriter.WriteFile(request.Value, contents, static_cast<int32_t>(status.st_size));
  }

  void SendList(const TquvFileRequest& request) {
    const std::string mask = RelativePath(request.FileName);
    const std::size_t slash = mask.rfind('/');
    const std::size_t split = slash == std::string::npos ? 0 : slash + 1;
    // Names come back with the folder part as the client wrote it.
    const std::string prefix = request.FileName.substr(0, split);
    const std::string pattern = mask.substr(split);
    struct stat status {};
    TAutoCloseHandle folder = Open(request.FileName, split == 0 ? "." : mask.substr(0, split),
                                   O_RDONLY | O_DIRECTORY, S_IFDIR, status);
    std::vector<std::string> names = MatchingFiles(std::move(folder), pattern);
    const int32_t most = request.MaxCount > 0 ? request.MaxCount : INT32_MAX;
    if (static_cast<int64_t>(names.size()) > most) names.resize(static_cast<std::size_t>(most));
    std::string text;
    for (const std::string& name : names) text += prefix + name + std::string(kLineEnd);
    if (text.size() > INT32_MAX) Refuse("Lista grande demais: ", request.FileName);
    TViewStream contents(text);
    FWriter.WriteFile(static_cast<int32_t>(names.size()), contents,
                      static_cast<int32_t>(text.size()));
  }

  // The regular files of `folder` whose names match `pattern`, sorted.
  static std::vector<std::string> MatchingFiles(TAutoCloseHandle folder,
                                                const std::string& pattern) {
    std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(folder.Get()), ::closedir);
    if (!entries) RefuseOpen(pattern);
    folder.Detach();  // closedir closes it now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(entries.get())) {
      struct stat status {};
      if (::fstatat(::dirfd(entries.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(status.st_mode) && MatchesFileMask(entry->d_name, pattern))
        names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TquvPackageWriter& FWriter;
  const std::string& FDirectory;
  TAutoCloseHandle FRoot;
};

TquvFileRequest ReadRequest(TquvPackage& package) {
  TFileRequestBytes bytes;
  package.ReadExact(bytes.data(), kFileRequestSize);
  return DecodeFileRequest(bytes);
}

[[noreturn]] void RaiseBadSequence() {
  throw EPackageError(std::string(kInconsistentPackageMessage));
}

// The requests of one exchange: one of kind 2 or 3, or the kind-4 ones of a batch.
std::vector<TquvFileRequest> ReadRequests(TquvPackage& package) {
  TquvFileRequest first = ReadRequest(package);
  if (first.Kind == kFileRequestOne || first.Kind == kFileRequestList) return {first};
  std::vector<TquvFileRequest> batch;
  for (TquvFileRequest request = std::move(first); request.Kind != kFileRequestBatchEnd;
       request = ReadRequest(package)) {
    if (request.Kind != kFileRequestBatch || batch.size() >= kMostBatchFiles) RaiseBadSequence();
    batch.push_back(std::move(request));
  }
  return batch;
}

}  // namespace

bool MatchesFileMask(std::string_view name, std::string_view mask) {
  std::size_t n = 0, m = 0;
  std::size_t starAt = std::string_view::npos, resumeAt = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || FoldCase(mask[m]) == FoldCase(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starAt = m++;
      resumeAt = n;
    } else if (starAt != std::string_view::npos) {
      m = starAt + 1;
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

void ServeFileRequests(TquvPackage& package, TquvPackageWriter& writer,
                       const std::string& directory) {
  const std::vector<TquvFileRequest> requests = ReadRequests(package);
  TFileAnswer answer(writer, directory);
  for (const TquvFileRequest& request : requests) answer.Answer(request);
  package.Flush(TquvPackageWriter::kRequestFlushTimeoutMs);
}

}  // namespace quv
