#pragma once

#include <string_view>

namespace quv {

// Writes "quvserver: " + `line` to standard error as one line; control bytes
// (which may come from a client) are shown as '?'. Thread-safe.
void ServerLogLine(std::string_view line);

}  // namespace quv
