#include "platform/UserSettings.h"

#include "platform/UserFolders.h"

namespace quv {

std::string UserSettingsFileName(const std::string& key) {
  std::string path = UserConfigFolder();
  std::size_t start = 0;
  while (start <= key.size()) {
    std::size_t end = key.find('\\', start);
    if (end == std::string::npos) end = key.size();
    // "." and ".." would leave the mirrored tree; they are skipped like empty parts.
    const std::string part = key.substr(start, end - start);
    if (!part.empty() && part != "." && part != "..") path += "/" + part;
    start = end + 1;
  }
  return path + ".ini";
}

TIniFile OpenUserSettings(const std::string& key) { return TIniFile(UserSettingsFileName(key)); }

}  // namespace quv
