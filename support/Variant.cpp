#include "support/Variant.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/DateTime.h"
#include "platform/StrUtils.h"

namespace quv {

namespace {

constexpr double kInt64Limit = 9223372036854775808.0;  // 2^63

bool IsIntegerKind(TVarKind kind) {
  return kind == TVarKind::Integer || kind == TVarKind::Boolean || kind == TVarKind::Empty;
}

bool IsReferenceKind(TVarKind kind) {
  return kind == TVarKind::Interface || kind == TVarKind::Object || kind == TVarKind::Array;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

// Nearest integer, ties to even; false when it does not fit an int64.
bool RoundToInt64(double value, int64_t& result) {
  const double rounded = std::nearbyint(value);
  if (!(rounded >= -kInt64Limit && rounded < kInt64Limit)) return false;
  result = static_cast<int64_t>(rounded);
  return true;
}

bool FitsInt32(int64_t value) {
  return value >= std::numeric_limits<int32_t>::min() &&
         value <= std::numeric_limits<int32_t>::max();
}

// The scaled currency divided by its scale, to nearest with ties to even.
int64_t UnscaleCurrency(int64_t scaled) {
  int64_t quotient = scaled / kCurrencyScale;
  const int64_t remainder = scaled % kCurrencyScale;
  const int64_t twice = 2 * (remainder < 0 ? -remainder : remainder);
  if (twice > kCurrencyScale || (twice == kCurrencyScale && quotient % 2 != 0)) {
    quotient += scaled < 0 ? -1 : 1;
  }
  return quotient;
}

std::string CurrencyText(int64_t scaled) {
  const bool negative = scaled < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : scaled;
  std::string text = std::to_string(magnitude / kCurrencyScale);
  uint64_t fraction = magnitude % kCurrencyScale;
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%04u", static_cast<unsigned>(fraction));
    std::string_view decimals(digits);
    while (decimals.back() == '0') decimals.remove_suffix(1);
    text += decimals;
  }
  return negative ? "-" + text : text;
}

std::string DoubleText(double value) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%.15g", value);
  return std::string(text, static_cast<std::size_t>(n));
}

std::string DateTimeText(double value) {
  if (!IsValidDateTime(value)) return DoubleText(value);
  const TDateTimeParts p = DecodeDateTime(value);
  char text[40];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.Year, p.Month, p.Day);
  if (p.Hour != 0 || p.Minute != 0 || p.Second != 0 || p.Millisecond != 0) {
    n += std::snprintf(text + n, sizeof text - n, " %02d:%02d:%02d", p.Hour, p.Minute, p.Second);
    if (p.Millisecond != 0) n += std::snprintf(text + n, sizeof text - n, ".%03d", p.Millisecond);
  }
  return std::string(text, static_cast<std::size_t>(n));
}

// Reads an unsigned number of 1 to `maxDigits` digits from the front of `text`.
bool TakeNumber(std::string_view& text, int maxDigits, int& value) {
  std::size_t n = 0;
  while (n < text.size() && n < std::size_t(maxDigits) && text[n] >= '0' && text[n] <= '9') ++n;
  if (n == 0) return false;
  std::from_chars(text.data(), text.data() + n, value);
  text.remove_prefix(n);
  return true;
}

// Reads 1 to 3 digits after a decimal point as milliseconds (".25" is 250).
bool TakeFraction(std::string_view& text, int& milliseconds) {
  const std::size_t before = text.size();
  if (!TakeNumber(text, 3, milliseconds)) return false;
  for (std::size_t digits = before - text.size(); digits < 3; ++digits) milliseconds *= 10;
  return true;
}

bool TakeChar(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

// "hh:nn[:ss[.zzz]]" filling the time of `p`; all of `text` must be used.
bool ParseTime(std::string_view text, TDateTimeParts& p) {
  if (!TakeNumber(text, 2, p.Hour) || !TakeChar(text, ':') || !TakeNumber(text, 2, p.Minute)) {
    return false;
  }
  if (TakeChar(text, ':')) {
    if (!TakeNumber(text, 2, p.Second)) return false;
    if (TakeChar(text, '.') && !TakeFraction(text, p.Millisecond)) return false;
  }
  return text.empty() && p.Hour < 24 && p.Minute < 60 && p.Second < 60;
}

// The date-time texts that ToText writes, and a time of day alone.
bool ParseDateTime(std::string_view text, double& value) {
  TDateTimeParts p;
  if (text.find('-') == std::string_view::npos) {
    if (!ParseTime(text, p)) return false;
  } else {
    if (!TakeNumber(text, 4, p.Year) || !TakeChar(text, '-') || !TakeNumber(text, 2, p.Month) ||
        !TakeChar(text, '-') || !TakeNumber(text, 2, p.Day)) {
      return false;
    }
    if (!text.empty() && !((TakeChar(text, ' ') || TakeChar(text, 'T')) && ParseTime(text, p))) {
      return false;
    }
    if (p.Year < 1 || p.Month < 1 || p.Month > 12 || p.Day < 1) return false;
  }
  value = EncodeDateTime(p);
  // A day past the end of its month comes back as another date.
  const TDateTimeParts check = DecodeDateTime(value);
  return check.Day == p.Day && check.Month == p.Month;
}

}  // namespace

uint16_t TVariant::Tag() const {
  static constexpr uint16_t kTags[] = {vartag::Empty,   vartag::Null,     vartag::Integer,
                                       vartag::Double,  vartag::Currency, vartag::DateTime,
                                       vartag::Boolean, vartag::Text,     vartag::Interface,
                                       vartag::Object,  vartag::Array};
  return kTags[FValue.index()];
}

bool TVariant::IsNumeric() const {
  const TVarKind kind = Kind();
  return kind >= TVarKind::Integer && kind <= TVarKind::Boolean;
}

const std::string& TVariant::Text() const {
  if (!IsText()) FailConversion("text");
  return std::get<std::string>(FValue);
}

const TVariant::TItems& TVariant::Items() const {
  if (Kind() != TVarKind::Array) FailConversion("array");
  return *std::get<std::shared_ptr<const TItems>>(FValue);
}

IInterface* TVariant::Interface() const {
  const auto* ref = std::get_if<TRef<IInterface>>(&FValue);
  return ref ? ref->Get() : nullptr;
}

TObject* TVariant::Object() const {
  const auto* object = std::get_if<TObject*>(&FValue);
  return object ? *object : nullptr;
}

std::string_view TVariant::KindName(TVarKind kind) {
  static constexpr std::string_view kNames[] = {"empty",     "null",      "integer", "double",
                                                "currency",  "date-time", "Boolean", "text",
                                                "interface", "object",    "array"};
  return kNames[static_cast<std::size_t>(kind)];
}

std::string TVariant::Describe() const {
  const std::string kind = "(" + std::string(KindName(Kind())) + ")";
  if (IsText()) return "\"" + Text() + "\" " + kind;
  if (IsNumeric()) return ToText() + " " + kind;
  return kind;
}

void TVariant::FailConversion(std::string_view target) const {
  throw EVariantError("Could not convert variant " + Describe() + " to " + std::string(target));
}

int32_t TVariant::ToInteger() const {
  int64_t value = 0;
  switch (Kind()) {
    case TVarKind::Empty:
      return 0;
    case TVarKind::Integer:
      return std::get<int32_t>(FValue);
    case TVarKind::Boolean:
      return std::get<bool>(FValue) ? -1 : 0;
    case TVarKind::Currency:
      value = UnscaleCurrency(std::get<TCurrency>(FValue).Scaled);
      break;
    case TVarKind::Double:
    case TVarKind::DateTime:
      if (!RoundToInt64(ToDouble(), value)) FailConversion("integer");
      break;
    case TVarKind::Text: {
      int32_t parsed = 0;
      if (!TryStrToInt(Text(), parsed)) FailConversion("integer");
      return parsed;
    }
    default:
      FailConversion("integer");
  }
  if (!FitsInt32(value)) FailConversion("integer");
  return static_cast<int32_t>(value);
}

double TVariant::ToDouble() const {
  switch (Kind()) {
    case TVarKind::Empty:
      return 0;
    case TVarKind::Integer:
      return std::get<int32_t>(FValue);
    case TVarKind::Double:
      return std::get<double>(FValue);
    case TVarKind::Currency:
      return double(std::get<TCurrency>(FValue).Scaled) / kCurrencyScale;
    case TVarKind::DateTime:
      return std::get<TDate>(FValue).Days;
    case TVarKind::Boolean:
      return std::get<bool>(FValue) ? -1 : 0;
    case TVarKind::Text: {
      double parsed = 0;
      if (!TryStrToFloat(Text(), parsed)) FailConversion("double");
      return parsed;
    }
    default:
      FailConversion("double");
  }
}

int64_t TVariant::ToCurrency() const {
  const TVarKind kind = Kind();
  if (kind == TVarKind::Currency) return std::get<TCurrency>(FValue).Scaled;
  if (IsIntegerKind(kind)) return int64_t(ToInteger()) * kCurrencyScale;
  double value = 0;
  if (kind == TVarKind::Double || kind == TVarKind::DateTime) {
    value = ToDouble();
  } else if (!IsText() || !TryStrToFloat(Text(), value)) {
    FailConversion("currency");
  }
  int64_t scaled = 0;
  if (!RoundToInt64(value * kCurrencyScale, scaled)) FailConversion("currency");
  return scaled;
}

double TVariant::ToDateTime() const {
  double value = 0;
  if (IsText()) {
    if (!ParseDateTime(Text(), value) && !TryStrToFloat(Text(), value)) FailConversion("date-time");
  } else if (IsNumeric() || IsEmpty()) {
    value = ToDouble();
  } else {
    FailConversion("date-time");
  }
  if (!IsValidDateTime(value)) FailConversion("date-time");
  return value;
}

bool TVariant::ToBoolean() const {
  if (IsText()) {
    const std::string& text = Text();
    if (SameText(text, "true")) return true;
    if (SameText(text, "false")) return false;
    double number = 0;
    if (!TryStrToFloat(text, number)) FailConversion("Boolean");
    return number != 0;
  }
  if (Kind() == TVarKind::Boolean) return std::get<bool>(FValue);
  if (IsNumeric() || IsEmpty()) return ToDouble() != 0;
  FailConversion("Boolean");
}

std::string TVariant::ToText() const {
  switch (Kind()) {
    case TVarKind::Empty:
    case TVarKind::Null:
      return {};
    case TVarKind::Integer:
      return std::to_string(std::get<int32_t>(FValue));
    case TVarKind::Double:
      return DoubleText(std::get<double>(FValue));
    case TVarKind::Currency:
      return CurrencyText(std::get<TCurrency>(FValue).Scaled);
    case TVarKind::DateTime:
      return DateTimeText(std::get<TDate>(FValue).Days);
    case TVarKind::Boolean:
      return std::get<bool>(FValue) ? "True" : "False";
    case TVarKind::Text:
      return Text();
    default:
      FailConversion("text");
  }
}

// Comparison --------------------------------------------------------------

namespace {

template <class T>
TVarRelation Order(const T& a, const T& b) {
  return a < b ? TVarRelation::Less : b < a ? TVarRelation::Greater : TVarRelation::Equal;
}

// Both sides are numbers (or Booleans, or texts that hold numbers).
TVarRelation CompareNumbers(const TVariant& left, const TVariant& right) {
  const auto exact = [](const TVariant& v) {
    return v.Kind() != TVarKind::Double && v.Kind() != TVarKind::DateTime && !v.IsText();
  };
  if (exact(left) && exact(right)) return Order(left.ToCurrency(), right.ToCurrency());
  const double a = left.ToDouble(), b = right.ToDouble();
  // NaN equals only NaN and sorts before every number.
  if (std::isnan(a) || std::isnan(b)) return Order(!std::isnan(a), !std::isnan(b));
  return Order(a, b);
}

bool HoldsNumber(const TVariant& text) {
  double ignored = 0;
  return TryStrToFloat(text.Text(), ignored);
}

}  // namespace

TVarRelation VarCompare(const TVariant& left, const TVariant& right) {
  if (left.IsEmptyOrNull() || right.IsEmptyOrNull()) {
    if (!right.IsEmptyOrNull()) return TVarRelation::Less;
    if (!left.IsEmptyOrNull()) return TVarRelation::Greater;
    return Order(left.Kind(), right.Kind());
  }
  if (IsReferenceKind(left.Kind()) || IsReferenceKind(right.Kind())) {
    if (left == right) return TVarRelation::Equal;
    throw EVariantError("Could not compare variant " + left.Describe() + " with " +
                        right.Describe());
  }
  if (left.IsText() && right.IsText()) return Order(left.Text(), right.Text());
  if (left.IsText() || right.IsText()) {
    const TVariant& text = left.IsText() ? left : right;
    if (!HoldsNumber(text)) return Order(left.ToText(), right.ToText());
  }
  if (left.Kind() == TVarKind::Boolean && right.Kind() == TVarKind::Boolean) {
    return Order(left.ToBoolean(), right.ToBoolean());
  }
  return CompareNumbers(left, right);
}

bool operator==(const TVariant& left, const TVariant& right) {
  const bool leftReference = IsReferenceKind(left.Kind());
  if (leftReference || IsReferenceKind(right.Kind())) {
    if (left.Kind() != right.Kind()) return false;
    if (left.Kind() == TVarKind::Interface) return left.Interface() == right.Interface();
    if (left.Kind() == TVarKind::Object) return left.Object() == right.Object();
    return &left.Items() == &right.Items() || left.Items() == right.Items();
  }
  return VarCompare(left, right) == TVarRelation::Equal;
}

// Arithmetic --------------------------------------------------------------

namespace {

enum class TArith : uint8_t { Add, Subtract, Multiply };

// An operand as a number: integers, Booleans and empty become integers, a
// text the integer or double it holds.
TVariant AsNumber(const TVariant& value) {
  if (value.IsText()) {
    int32_t integer = 0;
    if (TryStrToInt(value.Text(), integer)) return integer;
    return value.ToDouble();
  }
  if (IsIntegerKind(value.Kind())) return value.ToInteger();
  if (!value.IsNumeric()) return value.ToDouble();  // raises the conversion error
  return value;
}

TVarKind ResultKind(TArith op, TVarKind a, TVarKind b) {
  if (a == TVarKind::DateTime || b == TVarKind::DateTime) {
    const bool bothDates = a == b;
    if (op == TArith::Multiply || (op == TArith::Subtract && bothDates)) return TVarKind::Double;
    return TVarKind::DateTime;
  }
  if (a == TVarKind::Double || b == TVarKind::Double) return TVarKind::Double;
  if (a == TVarKind::Currency || b == TVarKind::Currency) return TVarKind::Currency;
  return TVarKind::Integer;
}

template <class T>
T Apply(TArith op, T a, T b) {
  switch (op) {
    case TArith::Add:
      return a + b;
    case TArith::Subtract:
      return a - b;
    default:
      return a * b;
  }
}

// Nearest to `value` / scale, ties away from zero.
__int128 Unscale(__int128 value) {
  const __int128 half = kCurrencyScale / 2;
  return (value >= 0 ? value + half : value - half) / kCurrencyScale;
}

TVariant Arithmetic(TArith op, const TVariant& left, const TVariant& right) {
  if (left.IsNull() || right.IsNull()) return TVariant::Null();
  const TVariant a = AsNumber(left), b = AsNumber(right);
  const TVarKind kind = ResultKind(op, a.Kind(), b.Kind());
  if (kind == TVarKind::Integer) {
    const int64_t result = Apply<int64_t>(op, a.ToInteger(), b.ToInteger());
    if (FitsInt32(result)) return static_cast<int32_t>(result);
    return static_cast<double>(result);
  }
  if (kind == TVarKind::Currency) {
    __int128 result = Apply<__int128>(op, a.ToCurrency(), b.ToCurrency());
    if (op == TArith::Multiply) result = Unscale(result);
    const __int128 limit = std::numeric_limits<int64_t>::max();
    if (result >= -limit && result <= limit) return TVariant::FromCurrency(int64_t(result));
  }
  const double result = Apply(op, a.ToDouble(), b.ToDouble());
  return kind == TVarKind::DateTime ? TVariant::FromDateTime(result) : TVariant(result);
}

[[noreturn]] void FailDivisionByZero(const TVariant& left) {
  throw EVariantError("Division by zero of variant " + left.Describe());
}

// A Boolean, or a text that holds "true" or "false".
bool IsLogical(const TVariant& value) {
  if (value.Kind() == TVarKind::Boolean) return true;
  return value.IsText() && (SameText(value.Text(), "true") || SameText(value.Text(), "false"));
}

}  // namespace

TVariant VarAdd(const TVariant& left, const TVariant& right) {
  const bool texts = (left.IsText() || left.IsEmpty()) && (right.IsText() || right.IsEmpty());
  if (texts && (left.IsText() || right.IsText())) return left.ToText() + right.ToText();
  return Arithmetic(TArith::Add, left, right);
}

TVariant VarSubtract(const TVariant& left, const TVariant& right) {
  return Arithmetic(TArith::Subtract, left, right);
}

TVariant VarMultiply(const TVariant& left, const TVariant& right) {
  return Arithmetic(TArith::Multiply, left, right);
}

TVariant VarDivide(const TVariant& left, const TVariant& right) {
  if (left.IsNull() || right.IsNull()) return TVariant::Null();
  const double divisor = AsNumber(right).ToDouble();
  const double dividend = AsNumber(left).ToDouble();
  if (divisor == 0) FailDivisionByZero(left);
  return dividend / divisor;
}

TVariant VarIntDivide(const TVariant& left, const TVariant& right) {
  if (left.IsNull() || right.IsNull()) return TVariant::Null();
  const int64_t divisor = right.ToInteger();
  const int64_t dividend = left.ToInteger();
  if (divisor == 0) FailDivisionByZero(left);
  const int64_t result = dividend / divisor;
  if (FitsInt32(result)) return static_cast<int32_t>(result);
  return static_cast<double>(result);
}

TVariant VarAnd(const TVariant& left, const TVariant& right) {
  if (left.IsNull() || right.IsNull()) return TVariant::Null();
  if (IsLogical(left) && IsLogical(right)) return left.ToBoolean() && right.ToBoolean();
  return left.ToInteger() & right.ToInteger();
}

TVariant VarOr(const TVariant& left, const TVariant& right) {
  if (left.IsNull() || right.IsNull()) return TVariant::Null();
  if (IsLogical(left) && IsLogical(right)) return left.ToBoolean() || right.ToBoolean();
  return left.ToInteger() | right.ToInteger();
}

TVariant VarNot(const TVariant& value) {
  if (value.IsNull()) return TVariant::Null();
  if (IsLogical(value)) return !value.ToBoolean();
  return ~value.ToInteger();
}

}  // namespace quv
