// Any bytes as an instant an operator types (--at, --from, --to, the history
// window's time field), read against a fixed "now". What reads must be a
// finite value, and a valid one must read back from its own ISO text to the
// same second.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/DateTime.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// 2026-12-10 21:30:15.250, far enough from both ends of the calendar for
// every relative form to stay meaningful.
double Now() {
  quv::TDateTimeParts parts;
  parts.Year = 2026;
  parts.Month = 12;
  parts.Day = 10;
  parts.Hour = 21;
  parts.Minute = 30;
  parts.Second = 15;
  parts.Millisecond = 250;
  return quv::EncodeDateTime(parts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const double now = Now();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  double value = 0;
  if (!quv::TryTextToDateTime(text, now, value)) return 0;
  Require(std::isfinite(value));
  if (!quv::IsValidDateTime(value)) return 0;
  const std::string iso = quv::DateTimeToIsoText(value);
  double again = 0;
  Require(quv::TryTextToDateTime(iso, now, again));
  Require(quv::DateTimeToIsoText(again) == iso);
  return 0;
}
