#pragma once

#include <string>

// Date-time values are days since 30 December 1899 (a double); the fraction
// is the time of day.

namespace quv {

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

double EncodeDateTime(const TDateTimeParts& parts);
TDateTimeParts DecodeDateTime(double value);

// The current local date-time.
double LocalNow();

// The date-time as the user's locale writes a short date followed by the
// time with seconds (for the C locale: "12/08/26 19:49:11").
std::string DateTimeToStr(double value);

}  // namespace quv
