#pragma once

#include <optional>
#include <string>
#include <string_view>

// Date, time and date-time fields as ISO texts: D "2024-05-17", T "08:30:00"
// or "08:30:00.250", H "2024-05-17T08:30:00" (milliseconds as in T).
namespace quv::rstool {

// The text of `value` (days since 30 December 1899) for the field type
// `typeCode`, or nothing when the value lies outside what the text can say
// (years 1 to 9999; for T, within one day).
std::optional<std::string> DateToIsoText(char typeCode, double value);
// The value of an ISO text for `typeCode`, or nothing when the text is not
// one. H also takes a date alone and a space instead of the 'T'.
std::optional<double> IsoTextToDate(char typeCode, std::string_view text);

}  // namespace quv::rstool
