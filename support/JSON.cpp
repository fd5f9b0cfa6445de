#include "support/JSON.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/Cp1252.h"
#include "platform/StrUtils.h"

namespace quv {

namespace {

constexpr const char* kNoValue =
    "TJSONlist does not have a value by itself - it is an indexed array";
constexpr const char* kNotArray = "TJSONbase is not an array and does not support indexes";
constexpr const char* kListNames = "TJSONlist use only Integer indexes - not String";
constexpr const char* kNoCount = "TJSONbase is not an array and does not have Count property";
constexpr const char* kEmptyName = "Associative arrays do not support empty index";
constexpr const char* kUnsupportedType = "Unsupported data type in TJSONbase.Text";
constexpr const char* kInvalidType = "Invalid data type assigned to TJSONbase";
constexpr const char* kNotContainer =
    "Only TJSONlist or TJSONobject object can be assigned to TJSONbase";
constexpr const char* kHeldContainer =
    "Only a TJSONlist or TJSONobject that no element holds can be assigned to TJSONbase";
constexpr const char* kMissingBracket = "Missing closing bracket for array";

// The largest double whose 15-digit form does not round beyond the largest double.
constexpr double kLargestFifteenDigits = 1.79769313486231e308;

[[noreturn]] void RaiseAt(const char* message, std::size_t position) {
  throw TJSONError(std::string(message) + " at position " + std::to_string(position));
}

[[noreturn]] void RaiseOutside(int64_t index, std::size_t count) {
  throw TJSONError("Index (" + std::to_string(index) + ") is outside the array (" +
                   std::to_string(count) + ")");
}

// Writing ------------------------------------------------------------------

// The escape letter of each ASCII unit: 0 writes the unit itself, 'u' the
// \uXXXX form.
constexpr auto kEscapes = [] {
  std::array<char, 128> table{};
  for (int c = 0; c < 32; ++c) table[c] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['/'] = '/';
  table[8] = 'b';
  table[9] = 't';
  table[10] = 'n';
  table[12] = 'f';
  table[13] = 'r';
  table[127] = 'u';
  return table;
}();

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes `unit` escaped at `out`; returns the bytes written (1, 2 or 6).
std::size_t PutUnit(char16_t unit, char* out) {
  const char escape = unit < 128 ? kEscapes[unit] : 'u';
  if (escape == 0) {
    *out = static_cast<char>(unit);
    return 1;
  }
  out[0] = '\\';
  out[1] = escape;
  if (escape != 'u') return 2;
  for (int shift = 12, i = 2; shift >= 0; shift -= 4, ++i)
    out[i] = kHexDigits[(unit >> shift) & 0xF];
  return 6;
}

// A quoted, escaped string; the output is pure ASCII.
void WriteString(std::u16string_view units, TJSONTextBuffer& out) {
  constexpr std::size_t kChunk = 4096;
  out.Append('"');
  while (!units.empty()) {
    const std::size_t count = std::min(units.size(), kChunk);
    char* at = out.Reserve(count * 6);
    std::size_t written = 0;
    for (std::size_t i = 0; i < count; ++i) written += PutUnit(units[i], at + written);
    out.Commit(written);
    units.remove_prefix(count);
  }
  out.Append('"');
}

// A member name (Windows-1252) as a string: names that need no escape are
// written as they are.
void WriteName(std::string_view name, TJSONTextBuffer& out) {
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 128 && kEscapes[byte] == 0;
  });
  if (!plain) return WriteString(Cp1252ToUtf16(name), out);
  out.Append('"');
  out.Append(name);
  out.Append('"');
}

void WriteInteger(int32_t value, TJSONTextBuffer& out) {
  char* at = out.Reserve(12);
  out.Commit(static_cast<std::size_t>(std::to_chars(at, at + 12, value).ptr - at));
}

// General format with 15 significant digits and '.' as the decimal point;
// the exponent form is "E", a '-' only when negative and no leading zeros.
void WriteFloat(double value, TJSONTextBuffer& out) {
  if (!std::isfinite(value)) throw TJSONError(kUnsupportedType);
  if (value == 0) return out.Append('0');  // also -0, which reads back as the integer 0
  const int precision = std::fabs(value) > kLargestFifteenDigits ? 17 : 15;
  char text[40];
  const char* end =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, precision).ptr;
  const char* exponent = std::find(static_cast<const char*>(text), end, 'e');
  out.Append(std::string_view(text, static_cast<std::size_t>(exponent - text)));
  if (exponent == end) return;
  out.Append('E');
  const char* digits = exponent + 1;
  if (*digits++ == '-') out.Append('-');
  while (digits + 1 < end && *digits == '0') ++digits;
  out.Append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// Parsing ------------------------------------------------------------------

bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An escape error: the position is the 1-based index of the escape letter
// within the raw string.
[[noreturn]] void RaiseEscape(const char* message, std::size_t letter, std::string_view raw) {
  throw TJSONError(std::string(message) + " at position " + std::to_string(letter + 1) + " in \"" +
                   std::string(raw) + "\"");
}

// The four hexadecimal digits after raw[letter] as a code unit.
char16_t UnicodeEscape(std::string_view raw, std::size_t letter) {
  constexpr const char* kInvalid = "Invalid UNICODE escape sequence";
  if (raw.size() - letter - 1 < 4) RaiseEscape(kInvalid, letter, raw);
  unsigned unit = 0;
  for (std::size_t i = letter + 1; i <= letter + 4; ++i) {
    const int digit = HexValue(raw[i]);
    if (digit < 0) RaiseEscape(kInvalid, letter, raw);
    unit = unit << 4 | static_cast<unsigned>(digit);
  }
  return static_cast<char16_t>(unit);
}

// The raw bytes between a string's quotes as UTF-16: each byte is the unit of
// the same value, escapes aside.
std::u16string Unescape(std::string_view raw) {
  std::u16string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      out += static_cast<char16_t>(static_cast<unsigned char>(c));
      continue;
    }
    if (++i == raw.size()) RaiseEscape("Unrecognized escape sequence", i, raw);
    switch (raw[i]) {
      case '"':
      case '\\':
      case '/':
      case ' ':
        out += static_cast<char16_t>(raw[i]);
        break;
      case 'b':
        out += u'\b';
        break;
      case 'f':
        out += u'\f';
        break;
      case 'n':
        out += u'\n';
        break;
      case 'r':
        out += u'\r';
        break;
      case 't':
        out += u'\t';
        break;
      case 'u':
      case 'U':
        out += UnicodeEscape(raw, i);
        i += 4;
        break;
      default:
        RaiseEscape("Unrecognized escape sequence", i, raw);
    }
  }
  return out;
}

std::u16string Widen(std::string_view raw) {
  std::u16string out(raw.size(), u'\0');
  std::transform(raw.begin(), raw.end(), out.begin(),
                 [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
  return out;
}

// A recursive-descent parser over one text; recursion is bounded by
// kMaxJSONDepth containers.
class TJSONParser final {
 public:
  explicit TJSONParser(std::string_view text) : FText(text) {}

  std::unique_ptr<TJSONarray> Document() {
    SkipWhitespace();
    if (AtEnd()) return nullptr;
    std::unique_ptr<TJSONarray> document = Container();
    SkipWhitespace();
    if (!AtEnd()) RaiseUnexpected();
    return document;
  }

 private:
  bool AtEnd() const { return FPos >= FText.size(); }
  char Current() const { return FText[FPos]; }
  void SkipWhitespace() {
    while (!AtEnd() && IsWhitespace(Current())) ++FPos;
  }

  [[noreturn]] void RaiseUnexpected() const {
    std::string_view rest = FText.substr(std::min(FPos, FText.size()), 20);
    rest = rest.substr(0, rest.find('\0'));  // the text as a zero-terminated text shows it
    throw TJSONError("Unexpected character at position " + std::to_string(FPos) + " - " +
                     std::string(rest));
  }

  std::unique_ptr<TJSONarray> Container() {
    const char c = AtEnd() ? '\0' : Current();
    if (c != '[' && c != '{') RaiseUnexpected();
    if (FDepth == kMaxJSONDepth) {
      const std::string message =
          "Nesting deeper than " + std::to_string(kMaxJSONDepth) + " levels";
      RaiseAt(message.c_str(), FPos);
    }
    ++FDepth;
    ++FPos;
    std::unique_ptr<TJSONarray> container = c == '[' ? List() : Object();
    --FDepth;
    return container;
  }

  std::unique_ptr<TJSONarray> List() {
    auto list = std::make_unique<TJSONlist>();
    bool comma = false;
    for (;;) {
      SkipWhitespace();
      if (AtEnd()) throw TJSONError(kMissingBracket);
      const char c = Current();
      if (c == ',') {
        if (comma || list->Count() == 0) RaiseAt("Empty element", FPos);
        comma = true;
        ++FPos;
      } else if (c == ']') {
        if (comma) RaiseAt("Empty element", FPos);
        ++FPos;
        return list;
      } else {
        list->Add(RequiredValue());
        comma = false;
      }
    }
  }

  std::unique_ptr<TJSONarray> Object() {
    auto object = std::make_unique<TJSONobject>();
    bool memberRead = false;
    bool comma = false;
    for (;;) {
      SkipWhitespace();
      if (AtEnd()) throw TJSONError(kMissingBracket);
      const char c = Current();
      if (c == ',') {
        if (comma || !memberRead) RaiseAt("Empty element", FPos);
        comma = true;
        ++FPos;
      } else if (c == '}') {
        if (comma) RaiseAt("Empty element", FPos);
        ++FPos;
        return object;
      } else {
        std::string name = MemberName();
        object->Add(std::move(name), MemberValue());
        memberRead = true;
        comma = false;
      }
    }
  }

  std::string MemberName() {
    if (Current() != '"') RaiseAt("Unquoted property name", FPos);
    const std::size_t start = FPos + 1;
    bool escaped = false;
    const std::string_view raw = RawString(escaped);
    if (raw.empty()) RaiseAt("Empty property name", start);
    // Without escapes every byte is its own Windows-1252 character.
    return escaped ? Utf16ToCp1252(Unescape(raw)) : std::string(raw);
  }

  std::unique_ptr<TJSONbase> MemberValue() {
    SkipWhitespace();
    if (AtEnd() || Current() != ':') RaiseAt("Missing property name/value delimiter (:)", FPos);
    ++FPos;
    SkipWhitespace();
    if (!AtEnd() && (Current() == ',' || Current() == '}')) RaiseAt("Missing property value", FPos);
    return RequiredValue();
  }

  std::unique_ptr<TJSONbase> RequiredValue() {
    SkipWhitespace();
    const std::size_t start = FPos;
    std::unique_ptr<TJSONbase> value = Value();
    if (!value) RaiseAt("Empty element", start);
    return value;
  }

  // A value, or null for a letter that does not complete its literal.
  std::unique_ptr<TJSONbase> Value() {
    switch (AtEnd() ? '\0' : Current()) {
      case '"': {
        bool escaped = false;
        const std::string_view raw = RawString(escaped);
        return std::make_unique<TJSONbase>(escaped ? Unescape(raw) : Widen(raw));
      }
      case 't':
      case 'T':
        return Literal("rue") ? std::make_unique<TJSONbase>(true) : nullptr;
      case 'f':
      case 'F':
        return Literal("alse") ? std::make_unique<TJSONbase>(false) : nullptr;
      case 'n':
      case 'N':
        return Literal("ull") ? std::make_unique<TJSONbase>() : nullptr;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return Number();
      default:
        return Container();
    }
  }

  // Steps over the current letter and `rest` when they follow in any case.
  bool Literal(std::string_view rest) {
    const std::string_view next = FText.substr(FPos + 1, rest.size());
    if (next.size() != rest.size() ||
        !std::equal(next.begin(), next.end(), rest.begin(),
                    [](char a, char b) { return AsciiUpperChar(a) == AsciiUpperChar(b); }))
      return false;
    FPos += 1 + rest.size();
    return true;
  }

  // The bytes between the quote at FPos and the next unescaped quote; FPos
  // ends after the closing quote.
  std::string_view RawString(bool& escaped) {
    const std::size_t start = FPos + 1;
    std::size_t i = start;
    for (;;) {
      while (i < FText.size() && FText[i] != '"' && FText[i] != '\\') ++i;
      if (i >= FText.size()) RaiseAt("Unterminated string", start);
      if (FText[i] == '"') break;
      escaped = true;
      i += 2;  // the backslash and the character it escapes
    }
    FPos = i + 1;
    return FText.substr(start, i - start);
  }

  void SkipDigits() {
    while (!AtEnd() && IsDigit(Current())) ++FPos;
  }
  bool DigitFollows() const { return !AtEnd() && IsDigit(Current()); }

  // "-" or a digit, digits, an optional fraction and an optional exponent.
  std::unique_ptr<TJSONbase> Number() {
    const std::size_t start = FPos;
    ++FPos;
    SkipDigits();
    bool integral = true;
    if (!AtEnd() && Current() == '.') {
      ++FPos;
      if (!DigitFollows()) RaiseAt("Missing fractional part of a floating-point number", start);
      SkipDigits();
      integral = false;
    }
    if (!AtEnd() && (Current() == 'e' || Current() == 'E')) {
      ++FPos;
      if (!AtEnd() && (Current() == '+' || Current() == '-')) ++FPos;
      if (!DigitFollows()) RaiseAt("Exponent of the number is not integer", start);
      SkipDigits();
      integral = false;
    }
    const std::string_view token = FText.substr(start, FPos - start);
    int32_t integer = 0;
    if (integral && SmallInteger(token, integer)) return std::make_unique<TJSONbase>(integer);
    double value = 0;
    // The variant's conversion raises the conversion error for what TryStrToFloat rejects.
    if (!TryStrToFloat(token, value)) value = TVariant(token).ToDouble();
    return std::make_unique<TJSONbase>(value);
  }

  // An integral token within -2147483647 .. 2147483647.
  static bool SmallInteger(std::string_view token, int32_t& value) {
    const bool negative = token.front() == '-';
    std::string_view digits = token.substr(negative ? 1 : 0);
    if (digits.empty()) return false;
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 10) return false;
    int64_t magnitude = 0;
    for (const char c : digits) magnitude = magnitude * 10 + (c - '0');
    if (magnitude > 2147483647) return false;
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
  }

  std::string_view FText;
  std::size_t FPos = 0;
  int32_t FDepth = 0;
};

}  // namespace

// TJSONTextBuffer ------------------------------------------------------------

void TJSONTextBuffer::TFree::operator()(char* block) const noexcept { std::free(block); }

TJSONTextBuffer::TJSONTextBuffer() : FData(static_cast<char*>(std::malloc(kGrowth))) {
  if (!FData) throw std::bad_alloc();
  FCapacity = kGrowth;
}

void TJSONTextBuffer::Append(std::string_view text) {
  std::memcpy(Reserve(text.size()), text.data(), text.size());
  FSize += text.size();
}

void TJSONTextBuffer::Grow(std::size_t count) {
  const std::size_t missing = FSize + count - FCapacity;
  const std::size_t capacity = FCapacity + (missing + kGrowth - 1) / kGrowth * kGrowth;
  char* grown = static_cast<char*>(std::realloc(FData.get(), capacity));
  if (grown == nullptr) throw std::bad_alloc();
  FData.release();
  FData.reset(grown);
  FCapacity = capacity;
}

// TJSONbase --------------------------------------------------------------------

TJSONbase::TJSONbase() = default;
TJSONbase::TJSONbase(bool value) : FValue(value) {}
TJSONbase::TJSONbase(int32_t value) : FValue(value) {}
TJSONbase::TJSONbase(double value) : FValue(value) {}
TJSONbase::TJSONbase(std::u16string value) : FValue(std::move(value)) {}
TJSONbase::~TJSONbase() = default;

TJSONKind TJSONbase::Kind() const {
  if (const auto* container = std::get_if<std::unique_ptr<TJSONarray>>(&FValue))
    return (*container)->Kind();
  return static_cast<TJSONKind>(FValue.index());
}

TVariant TJSONbase::Value() const {
  switch (FValue.index()) {
    case 1:
      return TVariant(std::get<bool>(FValue));
    case 2:
      return TVariant(std::get<int32_t>(FValue));
    case 3:
      return TVariant(std::get<double>(FValue));
    case 4:
      return TVariant(Utf16ToCp1252(std::get<std::u16string>(FValue)));
    case 5:
      return TVariant::FromObject(std::get<std::unique_ptr<TJSONarray>>(FValue).get());
    default:
      return TVariant::Null();
  }
}

void TJSONbase::SetValue(const TVariant& value) {
  switch (value.Kind()) {
    case TVarKind::Empty:
    case TVarKind::Null:
      FValue = std::monostate();
      break;
    case TVarKind::Boolean:
      FValue = value.ToBoolean();
      break;
    case TVarKind::Integer:
      FValue = value.ToInteger();
      break;
    case TVarKind::Double:
    case TVarKind::Currency:
      FValue = value.ToDouble();
      break;
    case TVarKind::Text:
      FValue = Cp1252ToUtf16(value.Text());
      break;
    case TVarKind::Object:
      TakeContainer(value.Object());
      break;
    default:
      throw TJSONError(kInvalidType);
  }
}

void TJSONbase::TakeContainer(TObject* object) {
  auto* container = dynamic_cast<TJSONarray*>(object);
  if (container == nullptr) throw TJSONError(kNotContainer);
  // A held container, or the root of this very tree, would be destroyed twice.
  bool ancestor = false;
  for (const TJSONbase* element = this; element != nullptr; element = element->FOwner)
    ancestor = ancestor || element == container;
  if (container->FOwner != nullptr || ancestor) throw TJSONError(kHeldContainer);
  FValue = std::unique_ptr<TJSONarray>(container);
  container->FOwner = this;
}

std::string TJSONbase::Text() const {
  TJSONTextBuffer buffer;
  WriteTo(buffer);
  return std::string(buffer.View());
}

void TJSONbase::WriteTo(TJSONTextBuffer& out) const {
  switch (FValue.index()) {
    case 0:
      return out.Append("null");
    case 1:
      return out.Append(std::get<bool>(FValue) ? std::string_view("true") : "false");
    case 2:
      return WriteInteger(std::get<int32_t>(FValue), out);
    case 3:
      return WriteFloat(std::get<double>(FValue), out);
    case 4:
      return WriteString(std::get<std::u16string>(FValue), out);
    default:
      throw TJSONError(kUnsupportedType);
  }
}

TJSONbase* TJSONbase::Item(int32_t) const { throw TJSONError(kNotArray); }
void TJSONbase::SetItem(int32_t, std::unique_ptr<TJSONbase>) { throw TJSONError(kNotArray); }
TJSONbase* TJSONbase::Item(std::string_view) const { throw TJSONError(kNotArray); }
void TJSONbase::SetItem(std::string_view, std::unique_ptr<TJSONbase>) {
  throw TJSONError(kNotArray);
}
std::string TJSONbase::NameOf(int32_t) const { throw TJSONError(kNotArray); }
int32_t TJSONbase::Count() const { throw TJSONError(kNoCount); }
void TJSONbase::Clear() {}
void TJSONbase::Visit(const TJSONVisitor&, void*) {}

// TJSONarray --------------------------------------------------------------------

TJSONarray::TJSONarray() { FItems.reserve(8); }

TVariant TJSONarray::Value() const { throw TJSONError(kNoValue); }
void TJSONarray::SetValue(const TVariant&) { throw TJSONError(kNoValue); }

TJSONbase* TJSONarray::Item(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return FItems[index].get();
}

void TJSONarray::SetItem(int32_t index, std::unique_ptr<TJSONbase> element) {
  if (index < 0 || index >= Count()) RaiseOutside(index, FItems.size());
  FItems[index] = Adopt(std::move(element));
}

std::unique_ptr<TJSONbase> TJSONarray::Adopt(std::unique_ptr<TJSONbase> element) {
  if (!element) element = std::make_unique<TJSONbase>();
  element->FOwner = this;
  return element;
}

void TJSONarray::VisitItems(const TJSONVisitor& visitor, void* data,
                            const std::function<std::string(int32_t)>& nameOf) {
  bool stop = false;
  for (int32_t i = 0; i < Count() && !stop; ++i) visitor(nameOf(i), *FItems[i], data, stop);
}

// TJSONlist --------------------------------------------------------------------

void TJSONlist::WriteTo(TJSONTextBuffer& out) const {
  out.Append('[');
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (i > 0) out.Append(',');
    FItems[i]->WriteTo(out);
  }
  out.Append(']');
}

TJSONbase* TJSONlist::Item(std::string_view) const {
  if (FItems.empty()) return nullptr;
  throw TJSONError(kListNames);
}

void TJSONlist::SetItem(std::string_view, std::unique_ptr<TJSONbase>) {
  throw TJSONError(kListNames);
}

std::string TJSONlist::NameOf(int32_t) const { throw TJSONError(kListNames); }

void TJSONlist::Visit(const TJSONVisitor& visitor, void* data) {
  VisitItems(visitor, data, [](int32_t index) { return std::to_string(index); });
}

TJSONbase& TJSONlist::Add(std::unique_ptr<TJSONbase> element) {
  FItems.push_back(Adopt(std::move(element)));
  return *FItems.back();
}

// TJSONobject --------------------------------------------------------------------

void TJSONobject::WriteTo(TJSONTextBuffer& out) const {
  out.Append('{');
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (i > 0) out.Append(',');
    WriteName(FNames[i], out);
    out.Append(':');
    FItems[i]->WriteTo(out);
  }
  out.Append('}');
}

int32_t TJSONobject::PositionOf(std::string_view name) const {
  if (name.empty()) throw TJSONError(kEmptyName);
  if (!FIndex) {
    FIndex = std::make_unique<TIntegerHash>();
    for (std::size_t i = 0; i < FNames.size(); ++i)
      FIndex->SetItem(FNames[i], static_cast<int32_t>(i));
  }
  return FIndex->GetItem(name);
}

TJSONbase* TJSONobject::Item(std::string_view name) const {
  const int32_t position = PositionOf(name);
  return position < 0 ? nullptr : FItems[position].get();
}

void TJSONobject::SetItem(std::string_view name, std::unique_ptr<TJSONbase> element) {
  const int32_t position = PositionOf(name);
  if (position < 0) {
    Add(std::string(name), std::move(element));
  } else {
    FItems[position] = Adopt(std::move(element));
  }
}

std::string TJSONobject::NameOf(int32_t index) const {
  if (index < 0 || index >= static_cast<int32_t>(FNames.size())) RaiseOutside(index, FNames.size());
  return FNames[index];
}

void TJSONobject::Clear() {
  FIndex.reset();
  FNames.clear();
  FItems.clear();
}

void TJSONobject::Visit(const TJSONVisitor& visitor, void* data) {
  VisitItems(visitor, data, [this](int32_t index) { return FNames[index]; });
}

TJSONbase& TJSONobject::Add(std::string name, std::unique_ptr<TJSONbase> element) {
  if (name.empty()) throw TJSONError(kEmptyName);
  const auto position = static_cast<int32_t>(FItems.size());
  FItems.push_back(Adopt(std::move(element)));
  if (FIndex) FIndex->SetItem(name, position);
  FNames.push_back(std::move(name));
  return *FItems.back();
}

// Parsing ------------------------------------------------------------------

std::unique_ptr<TJSONarray> ParseJSON(std::string_view text) {
  return TJSONParser(text).Document();
}

}  // namespace quv
