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

bool MatchesFileMask(std::string_view name, std::string_view mask) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  std::size_t n = 0, m = 0;
  std::size_t starAt = std::string_view::npos, resumeAt = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || lower(mask[m]) == lower(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starAt = m++;
      resumeAt = n;
    } else if (starAt != std::string_view::npos) {
      m = starAt + 1;
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace quv
