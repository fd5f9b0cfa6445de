#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Exception.h"
#include "support/COM.h"

namespace quv {

// The root of the objects a Variant can refer to without owning them (a
// recordset, for one). Layers above derive their classes from it.
class TObject {
 public:
  virtual ~TObject() = default;
};

// A Variant could not be converted, compared or computed with; the message
// names the value and what was asked of it.
class EVariantError : public Exception {
 public:
  using Exception::Exception;
};

// The kinds of value a Variant holds.
enum class TVarKind : uint8_t {
  Empty,
  Null,
  Integer,  // int32
  Double,
  Currency,  // int64 scaled by kCurrencyScale
  DateTime,  // days since 30 December 1899
  Boolean,
  Text,       // Windows-1252 bytes
  Interface,  // a counted reference
  Object,     // a borrowed TObject
  Array,      // an immutable, shared list of Variants
};

inline constexpr int64_t kCurrencyScale = 10000;

// The tags of the kinds as they are known across the system: 0x4000 marks an
// object (recordset) reference.
namespace vartag {
inline constexpr uint16_t Empty = 0x0000, Null = 0x0001, Integer = 0x0003, Double = 0x0005,
                          Currency = 0x0006, DateTime = 0x0007, Boolean = 0x000B,
                          Interface = 0x000D, Text = 0x0100, Array = 0x200C, Object = 0x4000;
}

// A loosely typed value. A small value type: copying an integer allocates
// nothing, copying a text copies only the text, copying an array shares it.
// An object reference is borrowed: the object must outlive every copy that
// is used. Values are not thread-safe to change, but copies may be used on
// different threads.
//
// Conversions (ToXxx raise EVariantError when the value has no such form):
// - Empty is 0, 0.0, false, "" and the date-time 0; Null converts only to "".
// - Numbers convert among themselves; a double or currency goes to an integer
//   or currency by rounding to nearest, ties to even; out of range fails.
//   True is -1 and false 0; a number is true when it is non-zero.
// - Date-times must lie in the years 1 to 9999 to convert to a date-time.
// - Text to integer: decimal digits with an optional sign and leading blanks.
//   Text to double or currency: a decimal number with '.' as the separator
//   and an optional exponent. Text to Boolean: "true" or "false" in any case,
//   or a number. Text to date-time: "yyyy-mm-dd", "yyyy-mm-dd hh:nn[:ss[.zzz]]"
//   ('T' may stand for the blank) or "hh:nn[:ss[.zzz]]", else a number.
// - To text: integers in decimal; doubles with up to 15 significant digits
//   ("%.15g": "0.3", "1e+20", "nan", "inf"); currency with up to 4 decimals
//   and no trailing zeros ("12.5"); Booleans "True" or "False"; date-times
//   "yyyy-mm-dd" when the time is 0, else "yyyy-mm-dd hh:nn:ss" with ".zzz"
//   when there are milliseconds.
// - Interfaces, objects and arrays convert to nothing.
class TVariant final {
 public:
  using TItems = std::vector<TVariant>;

  TVariant() = default;
  TVariant(int32_t value) : FValue(value) {}
  TVariant(double value) : FValue(value) {}
  TVariant(bool value) : FValue(value) {}
  TVariant(std::string value) : FValue(std::move(value)) {}
  TVariant(std::string_view value) : FValue(std::string(value)) {}
  TVariant(const char* value) : FValue(std::string(value)) {}
  TVariant(TRef<IInterface> value) : FValue(std::move(value)) {}
  // Other pointers would silently become Booleans; objects use FromObject.
  template <class T>
  TVariant(T*) = delete;
  TVariant(std::nullptr_t) = delete;

  static TVariant Null() { return TVariant(TNull{}); }
  static TVariant FromCurrency(int64_t scaled) { return TVariant(TCurrency{scaled}); }
  static TVariant FromDateTime(double value) { return TVariant(TDate{value}); }
  static TVariant FromObject(TObject* object) { return TVariant(object); }
  static TVariant FromArray(TItems items) {
    return TVariant(std::make_shared<const TItems>(std::move(items)));
  }

  TVarKind Kind() const { return static_cast<TVarKind>(FValue.index()); }
  uint16_t Tag() const;
  bool IsEmpty() const { return Kind() == TVarKind::Empty; }
  bool IsNull() const { return Kind() == TVarKind::Null; }
  bool IsEmptyOrNull() const { return IsEmpty() || IsNull(); }
  bool IsText() const { return Kind() == TVarKind::Text; }
  // Integer, double, currency, date-time or Boolean.
  bool IsNumeric() const;

  // The held value itself; EVariantError for another kind.
  const std::string& Text() const;
  const TItems& Items() const;
  // Null for another kind.
  IInterface* Interface() const;
  TObject* Object() const;

  int32_t ToInteger() const;
  double ToDouble() const;
  // Scaled by kCurrencyScale.
  int64_t ToCurrency() const;
  double ToDateTime() const;
  bool ToBoolean() const;
  std::string ToText() const;

  // "integer", "text", ...: the kind's name in messages.
  static std::string_view KindName(TVarKind kind);
  // The value as messages show it: "\"abc\" (text)", "12 (integer)", "(null)".
  std::string Describe() const;

 private:
  struct TNull {};
  struct TCurrency {
    int64_t Scaled;
  };
  struct TDate {
    double Days;
  };
  using TValue =
      std::variant<std::monostate, TNull, int32_t, double, TCurrency, TDate, bool, std::string,
                   TRef<IInterface>, TObject*, std::shared_ptr<const TItems>>;

  explicit TVariant(TNull value) : FValue(value) {}
  explicit TVariant(TCurrency value) : FValue(value) {}
  explicit TVariant(TDate value) : FValue(value) {}
  explicit TVariant(TObject* object) : FValue(object) {}
  explicit TVariant(std::shared_ptr<const TItems> items) : FValue(std::move(items)) {}

  [[noreturn]] void FailConversion(std::string_view target) const;

  TValue FValue;
};

// The ordering of two Variants. Empty sorts before null and both before every
// other value. Texts compare byte by byte (so case matters); a text and a
// number compare as numbers when the text is one, else as texts. Numbers
// compare by value (NaN equals only NaN and sorts first); false sorts before
// true. Interfaces, objects and arrays are only equal to themselves and raise
// EVariantError when ordered.
enum class TVarRelation : int8_t { Less = -1, Equal = 0, Greater = 1 };
TVarRelation VarCompare(const TVariant& left, const TVariant& right);
// Equality by VarCompare; interfaces and objects are equal when they are the
// same, arrays when their items are; never raises.
bool operator==(const TVariant& left, const TVariant& right);

// Arithmetic. A null operand gives null; empty counts as 0 (as "" in a sum of
// texts). A text operand is taken as the number it holds (EVariantError when
// it holds none), except that the sum of two texts joins them. The result is
// an integer for integers and Booleans (a double when it overflows), currency
// when a currency meets integers or currency, a double otherwise; a date-time
// plus or minus a number stays a date-time, and the difference of two
// date-times is a double. The quotient is always a double; the integer
// quotient converts both sides to integers. Dividing by zero raises
// EVariantError.
TVariant VarAdd(const TVariant& left, const TVariant& right);
TVariant VarSubtract(const TVariant& left, const TVariant& right);
TVariant VarMultiply(const TVariant& left, const TVariant& right);
TVariant VarDivide(const TVariant& left, const TVariant& right);
TVariant VarIntDivide(const TVariant& left, const TVariant& right);
// Logical for two Booleans (or texts holding them), bitwise on integers
// otherwise (true being -1); null gives null.
TVariant VarAnd(const TVariant& left, const TVariant& right);
TVariant VarOr(const TVariant& left, const TVariant& right);
TVariant VarNot(const TVariant& value);

}  // namespace quv
