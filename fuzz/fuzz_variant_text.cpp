// Any bytes as a text that a peer sent, converted the ways servers convert
// parameters: to an integer, a double, a currency, a date-time and a
// Boolean. Only EVariantError may come out, and what converts must come back
// from its own text: integers and currencies exactly (currencies while the
// double they pass through is exact enough), doubles and date-times as the
// same text.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/Variant.h"

namespace {

using quv::EVariantError;
using quv::TVariant;

// Runs `convert`; false when the text has no such form.
template <class T, class F>
bool Convert(F convert, T& value) {
  try {
    value = convert();
    return true;
  } catch (const EVariantError&) {
    return false;
  }
}

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckInteger(const TVariant& text) {
  int32_t value = 0;
  if (!Convert([&] { return text.ToInteger(); }, value)) return;
  Require(TVariant(TVariant(value).ToText()).ToInteger() == value);
}

void CheckDouble(const TVariant& text) {
  double value = 0;
  if (!Convert([&] { return text.ToDouble(); }, value)) return;
  Require(std::isfinite(value));
  const std::string once = TVariant(value).ToText();
  Require(TVariant(TVariant(once).ToDouble()).ToText() == once);
}

void CheckCurrency(const TVariant& text) {
  int64_t scaled = 0;
  if (!Convert([&] { return text.ToCurrency(); }, scaled)) return;
  const int64_t back = TVariant(TVariant::FromCurrency(scaled).ToText()).ToCurrency();
  constexpr int64_t kExactBelow = int64_t(1) << 50;
  if (scaled > -kExactBelow && scaled < kExactBelow) Require(back == scaled);
}

void CheckDateTime(const TVariant& text) {
  double days = 0;
  if (!Convert([&] { return text.ToDateTime(); }, days)) return;
  const std::string once = TVariant::FromDateTime(days).ToText();
  const double again = TVariant(once).ToDateTime();
  Require(TVariant::FromDateTime(again).ToText() == once);
}

void CheckBoolean(const TVariant& text) {
  bool value = false;
  if (!Convert([&] { return text.ToBoolean(); }, value)) return;
  Require(TVariant(TVariant(value).ToText()).ToBoolean() == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TVariant text(std::string(reinterpret_cast<const char*>(data), size));
  CheckInteger(text);
  CheckDouble(text);
  CheckCurrency(text);
  CheckDateTime(text);
  CheckBoolean(text);
  return 0;
}
