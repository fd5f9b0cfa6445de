#include "platform/Exception.h"

#include <string.h>

#include <cerrno>

namespace quv {

std::string SysErrorMessage(int code) {
  char buffer[256];
  return ::strerror_r(code, buffer, sizeof buffer);  // the GNU variant returns the text
}

EOSError::EOSError(const std::string& call, int code)
    : Exception(call + ": " + SysErrorMessage(code) + " (" + std::to_string(code) + ")"),
      FCode(code) {}

void RaiseLastOSError(const std::string& call) { throw EOSError(call, errno); }

}  // namespace quv
