#include "platform/DateTime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>

namespace quv {

namespace {

std::string TwoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

using namespace std::chrono;

// 1899-12-30 as days before the Unix epoch.
constexpr int kEpochOffsetDays = 25569;
constexpr double kMsPerDay = 86400000.0;
// 1 January of year 1 and 1 January of year 10000.
constexpr double kMinDateTime = -693593.0;
constexpr double kEndDateTime = 2958466.0;

// Days relative to 1899-12-30 and a time of day; before that day the fraction
// counts away from zero.
double ComposeDateTime(double relativeDays, double msOfDay) {
  const double fraction = msOfDay / kMsPerDay;
  return relativeDays >= 0 ? relativeDays + fraction : relativeDays - fraction;
}

// Reads `digits` decimal digits at `at` of `text`; false when they are not there.
bool ReadDigits(std::string_view text, std::size_t at, std::size_t digits, int& value) {
  if (at + digits > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "hh:nn" or "hh:nn:ss" as the whole of `text`.
bool ReadTimeOfDay(std::string_view text, TDateTimeParts& parts) {
  if ((text.size() != 5 && text.size() != 8) || text[2] != ':') return false;
  if (!ReadDigits(text, 0, 2, parts.Hour) || !ReadDigits(text, 3, 2, parts.Minute)) return false;
  if (text.size() == 8 && (text[5] != ':' || !ReadDigits(text, 6, 2, parts.Second))) return false;
  return parts.Hour < 24 && parts.Minute < 60 && parts.Second < 60;
}

// "yyyy-mm-dd" at the start of `text`, a date that exists.
bool ReadDate(std::string_view text, TDateTimeParts& parts) {
  if (text.size() < 10 || text[4] != '-' || text[7] != '-' || !ReadDigits(text, 0, 4, parts.Year) ||
      !ReadDigits(text, 5, 2, parts.Month) || !ReadDigits(text, 8, 2, parts.Day))
    return false;
  return parts.Year >= 1 &&
         year_month_day{year{parts.Year}, month{static_cast<unsigned>(parts.Month)},
                        day{static_cast<unsigned>(parts.Day)}}
             .ok();
}

// "-<count><unit>" before now.
bool ReadRelative(std::string_view text, double now, double& value) {
  if (text.size() < 3 || text[0] != '-' || text.size() > 9) return false;
  int count = 0;
  if (!ReadDigits(text, 1, text.size() - 2, count)) return false;
  constexpr std::string_view kUnits = "smhd";
  constexpr double kUnitDays[] = {1.0 / 86400, 1.0 / 1440, 1.0 / 24, 1.0};
  const std::size_t unit = kUnits.find(text.back());
  if (unit == std::string_view::npos) return false;
  value = now - count * kUnitDays[unit];
  return true;
}

}  // namespace

double EncodeDateTime(const TDateTimeParts& p) {
  const sys_days day = year_month_day{year{p.Year}, month{static_cast<unsigned>(p.Month)},
                                      std::chrono::day{static_cast<unsigned>(p.Day)}};
  const double days = day.time_since_epoch().count() + kEpochOffsetDays;
  const double fraction =
      (((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.Millisecond) / kMsPerDay;
  // Before the epoch the fraction counts away from zero, as the format has it.
  return days >= 0 ? days + fraction : days - fraction;
}

TDateTimeParts DecodeDateTime(double value) {
  TDateTimeParts p;
  if (!std::isfinite(value) || std::fabs(value) > 3e6) return p;
  const double whole = std::trunc(value);
  int64_t ms = std::llround(std::fabs(value - whole) * kMsPerDay);
  int64_t days = static_cast<int64_t>(whole);
  if (ms >= 86400000) {
    ms -= 86400000;
    days += value >= 0 ? 1 : -1;
  }
  const year_month_day ymd{sys_days{std::chrono::days{days - kEpochOffsetDays}}};
  p.Year = static_cast<int>(ymd.year());
  p.Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  p.Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  p.Millisecond = static_cast<int>(ms % 1000);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Hour = static_cast<int>(ms / 3600000);
  return p;
}

bool IsValidDateTime(double value) { return value >= kMinDateTime && value < kEndDateTime; }

TTimeStamp DateTimeToTimeStamp(double value) {
  const int64_t msecs = std::llround(value * kMsPerDay);
  TTimeStamp stamp;
  stamp.Date = static_cast<int32_t>(msecs / kMSecsPerDay + kDateDelta);
  stamp.Time = static_cast<int32_t>(std::llabs(msecs) % kMSecsPerDay);
  return stamp;
}

double TimeStampToDateTime(const TTimeStamp& stamp) {
  return ComposeDateTime(double(stamp.Date) - kDateDelta, stamp.Time);
}

double MSecsToDateTime(double msecs) {
  const double whole = std::round(msecs);
  const double days = std::trunc(whole / kMsPerDay);
  return ComposeDateTime(days - kDateDelta, std::fabs(whole - days * kMsPerDay));
}

double LocalNow() {
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  TDateTimeParts p;
  p.Year = local.tm_year + 1900;
  p.Month = local.tm_mon + 1;
  p.Day = local.tm_mday;
  p.Hour = local.tm_hour;
  p.Minute = local.tm_min;
  p.Second = local.tm_sec;
  p.Millisecond =
      static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return EncodeDateTime(p);
}

std::string DateTimeToStr(double value) {
  const TDateTimeParts p = DecodeDateTime(value);
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  char text[128];
  const std::size_t n = std::strftime(text, sizeof text, "%x %X", &tm);
  return std::string(text, n);
}

std::string DateTimeToIsoText(double value, char separator) {
  if (!IsValidDateTime(value)) return {};
  const TDateTimeParts parts = DecodeDateTime(value);
  std::string year = std::to_string(parts.Year);
  year.insert(0, 4 - std::min<std::size_t>(4, year.size()), '0');
  return year + "-" + TwoDigits(parts.Month) + "-" + TwoDigits(parts.Day) + separator +
         TwoDigits(parts.Hour) + ":" + TwoDigits(parts.Minute) + ":" + TwoDigits(parts.Second);
}

bool TryTextToDateTime(std::string_view text, double now, double& value) {
  if (text == "now") {
    value = now;
    return true;
  }
  if (text.starts_with('-')) return ReadRelative(text, now, value);
  TDateTimeParts parts;
  if (ReadTimeOfDay(text, parts)) {
    const TDateTimeParts today = DecodeDateTime(now);
    parts.Year = today.Year;
    parts.Month = today.Month;
    parts.Day = today.Day;
    value = EncodeDateTime(parts);
    if (value > now) value -= 1;
    return true;
  }
  if (!ReadDate(text, parts)) return false;
  if (text.size() > 10 &&
      ((text[10] != ' ' && text[10] != 'T') || !ReadTimeOfDay(text.substr(11), parts)))
    return false;
  value = EncodeDateTime(parts);
  return true;
}

}  // namespace quv
