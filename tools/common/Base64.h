#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quv::rstool {

// Standard base64 with '=' padding.
std::string EncodeBase64(std::string_view bytes);
// The bytes of `text`, or nothing when it is not padded base64.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace quv::rstool
