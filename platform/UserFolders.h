#pragma once

#include <string>

namespace quv {

// The per-user folders of the XDG base directory rules, without a trailing
// separator. Each honours its environment variable when it holds an absolute
// path and falls back to the usual default otherwise.

// $XDG_CONFIG_HOME, default ~/.config.
std::string UserConfigFolder();

// $XDG_DATA_HOME, default ~/.local/share.
std::string UserDataFolder();

// $XDG_STATE_HOME, default ~/.local/state.
std::string UserStateFolder();

// $XDG_RUNTIME_DIR, default /tmp: where lock files of named locks live.
std::string RuntimeFolder();

// The login name of the user running this process ($USER, else the
// password database's entry, else the numeric user id).
std::string CurrentUserName();

// Creates `path` and any missing parents; true when it is a folder afterwards.
bool ForceDirectories(const std::string& path);

}  // namespace quv
