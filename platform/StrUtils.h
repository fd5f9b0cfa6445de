#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quv {

// Decimal text (leading blanks and a sign allowed, nothing after the digits)
// to a 32-bit integer; `defaultValue` when the text is not such a number or
// does not fit.
int32_t StrToIntDef(std::string_view text, int32_t defaultValue);
// The same conversion; false when the text is not such a number.
bool TryStrToInt(std::string_view text, int32_t& value);

// Decimal floating-point text ("12.5", "-3", "4.6e4") to a double; false when
// the text is not such a number.
bool TryStrToFloat(std::string_view text, double& value);

// The first `count` bytes of `text`.
// Whether `name` matches the file mask `mask`: '*' any run, '?' any byte,
// ASCII letters without regard to case.
bool MatchesFileMask(std::string_view name, std::string_view mask);

inline std::string LeftStr(std::string_view text, std::size_t count) {
  return std::string(text.substr(0, count));
}

}  // namespace quv
