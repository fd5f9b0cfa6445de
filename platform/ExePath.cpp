#include "platform/ExePath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/Exception.h"

namespace quv {

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) RaiseLastOSError("readlink /proc/self/exe");
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

bool IsFolder(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string ProgramDataFolder() { return DataFolderOf(ExecutablePath()); }

std::string DataFolderOf(const std::string& executablePath) {
  const std::string programFolder = ExtractFileDir(executablePath);
  if (ExtractFileName(programFolder) != "bin") return programFolder;
  const std::string prefix = ExtractFileDir(programFolder);
  const std::string shared = (prefix == "/" ? "" : prefix) + "/share/quv";
  return IsFolder(shared) ? shared : programFolder;
}

std::string ExtractFileDir(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string ExtractFileName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace quv
