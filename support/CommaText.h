#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quv {

// Reads the quoted text that starts at text[pos] with `quote`; a doubled quote stands for one and
// text without its closing quote runs to the end. Leaves pos after the closing quote.
std::string ExtractQuotedText(std::string_view text, std::size_t& pos, char quote);

// Splits a comma text into items: items are separated by commas or blanks (bytes 1 to 32), an item
// in double quotes may hold both. An empty item stands between two commas and after a final comma.
// The text ends at its first zero byte.
std::vector<std::string> SplitCommaText(std::string_view text);

}  // namespace quv
