#pragma once

#include <string>

#include "platform/IniFile.h"

namespace quv {

// The per-user settings store that stands in for the current user's registry
// hive: a key such as "SOFTWARE\ACME\APP" is the file
// <config folder>/SOFTWARE/ACME/APP.ini, its sub-keys are the file's
// sections and value names its keys. Read-only: nothing is written back.

// The file that holds `key` (backslash-separated; empty parts are skipped).
std::string UserSettingsFileName(const std::string& key);

// The key's values; a missing key reads as empty.
TIniFile OpenUserSettings(const std::string& key);

}  // namespace quv
