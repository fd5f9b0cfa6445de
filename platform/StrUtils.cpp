#include "platform/StrUtils.h"

#include <charconv>
#include <cmath>

namespace quv {

namespace {

// The number's text without leading blanks and without a '+' sign.
std::string_view NumberText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  return text;
}

}  // namespace

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) {
  int32_t value = 0;
  return TryStrToInt(text, value) ? value : defaultValue;
}

bool TryStrToInt(std::string_view text, int32_t& value) {
  text = NumberText(text);
  int32_t parsed = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
  if (ec != std::errc() || ptr != end) return false;
  value = parsed;
  return true;
}

bool TryStrToFloat(std::string_view text, double& value) {
  text = NumberText(text);
  double parsed = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, parsed, std::chars_format::general);
  if (ec != std::errc() || ptr != end || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

}  // namespace quv
