#include "tools/common/DateText.h"

#include <cstdio>

#include "platform/DateTime.h"

namespace quv::rstool {

namespace {

std::string DatePart(const TDateTimeParts& p) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
  return text;
}

std::string TimePart(const TDateTimeParts& p) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", p.Hour, p.Minute, p.Second);
  std::string result = text;
  if (p.Millisecond != 0) {
    std::snprintf(text, sizeof text, ".%03d", p.Millisecond);
    result += text;
  }
  return result;
}

// Reads `count` digits at `at` into `value`; advances `at`.
bool Digits(std::string_view text, std::size_t& at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  at += count;
  return true;
}

bool Separator(std::string_view text, std::size_t& at, char expected) {
  if (at >= text.size() || text[at] != expected) return false;
  ++at;
  return true;
}

bool ReadDate(std::string_view text, std::size_t& at, TDateTimeParts& p) {
  return Digits(text, at, 4, p.Year) && Separator(text, at, '-') && Digits(text, at, 2, p.Month) &&
         Separator(text, at, '-') && Digits(text, at, 2, p.Day);
}

bool ReadTime(std::string_view text, std::size_t& at, TDateTimeParts& p) {
  if (!(Digits(text, at, 2, p.Hour) && Separator(text, at, ':') && Digits(text, at, 2, p.Minute) &&
        Separator(text, at, ':') && Digits(text, at, 2, p.Second))) {
    return false;
  }
  return at == text.size() || (Separator(text, at, '.') && Digits(text, at, 3, p.Millisecond));
}

bool SameParts(const TDateTimeParts& a, const TDateTimeParts& b) {
  return a.Year == b.Year && a.Month == b.Month && a.Day == b.Day && a.Hour == b.Hour &&
         a.Minute == b.Minute && a.Second == b.Second && a.Millisecond == b.Millisecond;
}

}  // namespace

std::optional<std::string> DateToIsoText(char typeCode, double value) {
  if (!IsValidDateTime(value) || (typeCode == 'T' && (value < 0 || value >= 1)))
    return std::nullopt;
  const TDateTimeParts parts = DecodeDateTime(value);
  if (typeCode == 'D') return DatePart(parts);
  if (typeCode == 'T') return TimePart(parts);
  return DatePart(parts) + "T" + TimePart(parts);
}

std::optional<double> IsoTextToDate(char typeCode, std::string_view text) {
  TDateTimeParts parts;
  std::size_t at = 0;
  bool ok = true;
  if (typeCode != 'T') ok = ReadDate(text, at, parts) && parts.Year >= 1;
  if (ok && typeCode == 'H' && at < text.size())
    ok = (Separator(text, at, 'T') || Separator(text, at, ' ')) && ReadTime(text, at, parts);
  if (ok && typeCode == 'T') ok = ReadTime(text, at, parts);
  if (!ok || at != text.size()) return std::nullopt;
  const double value = EncodeDateTime(parts);
  // Out-of-range parts (month 13, 30 February, 25 o'clock) do not come back.
  if (!IsValidDateTime(value) || !SameParts(DecodeDateTime(value), parts)) return std::nullopt;
  return value;
}

}  // namespace quv::rstool
