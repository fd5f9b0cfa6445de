#include "platform/DateTime.h"

#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace quv {
namespace {

TEST(DateTime, EncodesDaysSince1899) {
  EXPECT_EQ(EncodeDateTime({1899, 12, 30}), 0.0);
  EXPECT_EQ(EncodeDateTime({1900, 1, 1}), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime({2026, 12, 8, 18, 0, 0, 0}), 46364.75);
  EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 29, 6, 0, 0, 0}), -1.25);
}

TEST(DateTime, DecodesWhatItEncodes) {
  const TDateTimeParts p{2024, 2, 29, 23, 59, 59, 999};
  const TDateTimeParts q = DecodeDateTime(EncodeDateTime(p));
  EXPECT_EQ(q.Year, 2024);
  EXPECT_EQ(q.Month, 2);
  EXPECT_EQ(q.Day, 29);
  EXPECT_EQ(q.Hour, 23);
  EXPECT_EQ(q.Minute, 59);
  EXPECT_EQ(q.Second, 59);
  EXPECT_EQ(q.Millisecond, 999);
  EXPECT_EQ(DecodeDateTime(1e300).Year, 1899);  // out of range: the zero date
}

TEST(DateTime, TextUsesTheLocaleFormat) {
  EXPECT_EQ(DateTimeToStr(EncodeDateTime({2026, 12, 8, 19, 49, 11, 0})), "12/08/26 19:49:11");
}

// Instants as an operator types them; every other text is refused.
TEST(DateTime, TextsOfInstants) {
  const double now = EncodeDateTime({2026, 12, 10, 14, 30, 0, 0});
  const auto parsed = [now](std::string_view text) {
    double value = -1;
    return TryTextToDateTime(text, now, value) ? DateTimeToIsoText(value) : "refused";
  };
  EXPECT_EQ(parsed("now"), "2026-12-10 14:30:00");
  EXPECT_EQ(parsed("-90m"), "2026-12-10 13:00:00");
  EXPECT_EQ(parsed("-2d"), "2026-12-08 14:30:00");
  EXPECT_EQ(parsed("2026-12-09"), "2026-12-09 00:00:00");
  EXPECT_EQ(parsed("2026-12-09 03:00"), "2026-12-09 03:00:00");
  EXPECT_EQ(parsed("2024-02-29T23:59:59"), "2024-02-29 23:59:59");
  EXPECT_EQ(parsed("03:00"), "2026-12-10 03:00:00");
  EXPECT_EQ(parsed("15:00:05"), "2026-12-09 15:00:05");  // later today: yesterday's
  for (const char* text : {"", "-", "-5", "-5w", "-h", "2026-02-29", "2026-13-01", "2026-1-01",
                           "2026-12-10 24:00", "2026-12-10x03:00", "2026-12-10 03:0", "3:00",
                           "12:60", "0000-01-01", "tomorrow", "2026-12-10 03:00:00.5"})
    EXPECT_EQ(parsed(text), "refused") << text;
}

TEST(Clock, ManualClockMovesOnlyWhenTold) {
  TManualClock clock(0xFFFFFFF0u, 1.0);
  TClockOverride installed(clock);
  Clock().TickCount();
  clock.Advance(0x20);
  EXPECT_EQ(Clock().TickCount(), 0x10u);  // wraps like a tick count
  EXPECT_DOUBLE_EQ(Clock().Now(), 1.0 + 32 / 86400000.0);
}

}  // namespace
}  // namespace quv
