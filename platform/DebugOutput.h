#pragma once

#include <string_view>

namespace quv {

// The process-wide debug sink: one line to standard error when the
// environment variable QUV_DEBUG is set, nothing otherwise. The text is the
// framework's Windows-1252 and is written as UTF-8, control characters shown
// as \xNN. Thread-safe.
void OutputDebugString(std::string_view text);

// Whether the sink writes anywhere (lets callers skip building a text).
bool DebugOutputEnabled();

}  // namespace quv
