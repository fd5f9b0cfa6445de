#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Date-time values are days since 30 December 1899 (a double); the fraction
// is the time of day.

namespace quv {

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

double EncodeDateTime(const TDateTimeParts& parts);
TDateTimeParts DecodeDateTime(double value);

// A date-time split into a day number (day 1 is 1 January of year 1, so
// 30 December 1899 is kDateDelta) and milliseconds since midnight.
inline constexpr int32_t kDateDelta = 693594;
inline constexpr int32_t kMSecsPerDay = 86400000;
struct TTimeStamp {
  int32_t Time = 0;
  int32_t Date = kDateDelta;
};

// Whether `value` lies in the years 1 to 9999.
bool IsValidDateTime(double value);
// `value` must be valid; its time is rounded to the nearest millisecond.
TTimeStamp DateTimeToTimeStamp(double value);
double TimeStampToDateTime(const TTimeStamp& stamp);
// Day number × 86 400 000 + milliseconds, taken to the nearest millisecond, as
// a date-time; any double is accepted (out-of-range counts give out-of-range
// date-times, never a failure).
double MSecsToDateTime(double msecs);

// The current local date-time.
double LocalNow();

// "yyyy-mm-dd hh:nn:ss" (ISO 8601 with `separator` 'T'); empty for a value
// that is no valid date-time.
std::string DateTimeToIsoText(double value, char separator = ' ');

// An instant as an operator types it, relative to `now` where it needs to
// be: "now"; "-90s", "-30m", "-2h", "-3d" (that long before now);
// "yyyy-mm-dd" (midnight); "yyyy-mm-dd hh:nn[:ss]" or with 'T' between;
// "hh:nn[:ss]" (the latest such time of day not after now). False for any
// other text, or a date or time that does not exist.
bool TryTextToDateTime(std::string_view text, double now, double& value);

// The date-time as the user's locale writes a short date followed by the
// time with seconds (for the C locale: "12/08/26 19:49:11").
std::string DateTimeToStr(double value);

}  // namespace quv
