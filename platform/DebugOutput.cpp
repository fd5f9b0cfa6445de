#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"

namespace quv {

bool DebugOutputEnabled() {
  static const bool enabled = std::getenv("QUV_DEBUG") != nullptr;
  return enabled;
}

void OutputDebugString(std::string_view text) {
  if (!DebugOutputEnabled()) return;
  std::string line = program::ShownText(Cp1252ToUtf8(text), std::string::npos);
  line += '\n';
  // One write per line keeps lines of different threads apart.
  [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace quv
