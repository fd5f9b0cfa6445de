#include "platform/UserFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace quv {

namespace {

// The environment variable's value when it is an absolute path, else empty.
std::string AbsoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::string();
  return value;
}

std::string HomeFolder() {
  std::string home = AbsoluteFromEnvironment("HOME");
  if (!home.empty()) return home;
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/tmp";
}

std::string FolderOr(const char* variable, const char* belowHome) {
  const std::string folder = AbsoluteFromEnvironment(variable);
  return folder.empty() ? HomeFolder() + belowHome : folder;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string UserConfigFolder() { return FolderOr("XDG_CONFIG_HOME", "/.config"); }

std::string UserDataFolder() { return FolderOr("XDG_DATA_HOME", "/.local/share"); }

std::string UserStateFolder() { return FolderOr("XDG_STATE_HOME", "/.local/state"); }

std::string RuntimeFolder() {
  const std::string folder = AbsoluteFromEnvironment("XDG_RUNTIME_DIR");
  return folder.empty() ? "/tmp" : folder;
}

std::string CurrentUserName() {
  const char* name = std::getenv("USER");
  if (name != nullptr && name[0] != '\0') return name;
  const passwd* entry = getpwuid(getuid());
  if (entry != nullptr && entry->pw_name != nullptr) return entry->pw_name;
  return std::to_string(getuid());
}

bool ForceDirectories(const std::string& path) {
  if (path.empty() || IsFolder(path)) return !path.empty();
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(path.substr(0, slash)))
    return false;
  return mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(path));
}

}  // namespace quv
