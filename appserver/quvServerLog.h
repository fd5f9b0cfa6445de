#pragma once

#include <string_view>

namespace quv {

// Writes "quvserver: " + `line` (Windows-1252, as the framework's texts are)
// to standard error as one line of UTF-8; control characters, which may come
// from a client, are shown as \xNN, and a very long line is cut.
// Thread-safe.
void ServerLogLine(std::string_view line);

}  // namespace quv
