#pragma once

#include <string>

#include "tools/common/JsonSource.h"

namespace quv::intftool {

// A description that cannot become an interface file; the message reads
// "FILE:LINE: what is wrong".
using EDescriptionError = tooljson::EJsonInputError;

// The bytes of the interface file that the JSON description `text` (read
// from `fileName`, for messages) describes. `libraryName` is the output's
// base name; a "library" given in the description must match it.
std::string BuildInterfaceFile(const std::string& fileName, const std::string& text,
                               const std::string& libraryName);

}  // namespace quv::intftool
