#include "platform/Exception.h"

#include <cerrno>
#include <cstring>

namespace quv {

EOSError::EOSError(const std::string& call, int code)
    : Exception(call + ": " + std::strerror(code) + " (" + std::to_string(code) + ")"), FCode(code) {}

void RaiseLastOSError(const std::string& call) { throw EOSError(call, errno); }

}  // namespace quv
