#pragma once

#include <string_view>

namespace quv {

// The process-wide debug sink: one line to standard error when the
// environment variable QUV_DEBUG is set, nothing otherwise. Thread-safe.
void OutputDebugString(std::string_view text);

// Whether the sink writes anywhere (lets callers skip building a text).
bool DebugOutputEnabled();

}  // namespace quv
