#pragma once

#include <string>

#include "transport/quvAddress.h"

// The server that --host names, checked before the call so that a wrong one
// fails at once and says why.
namespace quv::calltool {

// "host" or "host:port" (port 6015 when left out). Raises EUsageError for an
// empty host name or a port that is not a number from 1 to 65535.
THostPort ParseHostOption(const std::string& text);

// Raises EToolError "cannot resolve the host NAME: REASON" when `host` has no
// IPv4 address.
void CheckHostResolves(const std::string& host);

}  // namespace quv::calltool
