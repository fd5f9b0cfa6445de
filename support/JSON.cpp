#include "support/JSON.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <mutex>
#include <new>
#include <system_error>

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
  char text[40];
  const char* end =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, 15).ptr;
  // Near the largest double the 15-digit form can round beyond it; those few
  // values take 17 digits so that the text reads back.
  double readBack = 0;
  if (std::from_chars(text, end, readBack).ec == std::errc::result_out_of_range) {
    end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17).ptr;
  }
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

// The raw bytes between a string's quotes as UTF-16 units in `arena`: each
// byte is the unit of the same value, escapes aside.
std::u16string_view Unescape(std::string_view raw, std::pmr::memory_resource& arena) {
  // Every escape is longer than the unit it gives, so raw.size() units suffice.
  auto* units =
      static_cast<char16_t*>(arena.allocate(raw.size() * sizeof(char16_t), alignof(char16_t)));
  std::size_t count = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      units[count++] = static_cast<char16_t>(static_cast<unsigned char>(c));
      continue;
    }
    if (++i == raw.size()) RaiseEscape("Unrecognized escape sequence", i, raw);
    switch (raw[i]) {
      case '"':
      case '\\':
      case '/':
      case ' ':
        units[count++] = static_cast<char16_t>(raw[i]);
        break;
      case 'b':
        units[count++] = u'\b';
        break;
      case 'f':
        units[count++] = u'\f';
        break;
      case 'n':
        units[count++] = u'\n';
        break;
      case 'r':
        units[count++] = u'\r';
        break;
      case 't':
        units[count++] = u'\t';
        break;
      case 'u':
      case 'U':
        units[count++] = UnicodeEscape(raw, i);
        i += 4;
        break;
      default:
        RaiseEscape("Unrecognized escape sequence", i, raw);
    }
  }
  return {units, count};
}

std::u16string_view Widen(std::string_view raw, std::pmr::memory_resource& arena) {
  auto* units =
      static_cast<char16_t*>(arena.allocate(raw.size() * sizeof(char16_t), alignof(char16_t)));
  std::transform(raw.begin(), raw.end(), units,
                 [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
  return {units, raw.size()};
}

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
TJSONbase::TJSONbase(bool value) : FKind(TJSONKind::Boolean) { FPayload.Boolean = value; }
TJSONbase::TJSONbase(int32_t value) : FKind(TJSONKind::Integer) { FPayload.Integer = value; }
TJSONbase::TJSONbase(double value) : FKind(TJSONKind::Float) { FPayload.Float = value; }
TJSONbase::TJSONbase(std::u16string_view value) { SetUnits(value); }
TJSONbase::TJSONbase(std::u16string_view arenaUnits, TArena&) : FKind(TJSONKind::String) {
  FPayload.String = {arenaUnits.data(), arenaUnits.size()};
}
TJSONbase::~TJSONbase() { Release(); }

void* TJSONbase::operator new(std::size_t size) { return ::operator new(size); }

void TJSONbase::operator delete(void* memory) noexcept { ::operator delete(memory); }

void* TJSONbase::operator new(std::size_t size, TArena& arena) {
  static_assert(alignof(TJSONlist) == alignof(TJSONbase) &&
                alignof(TJSONobject) == alignof(TJSONbase));
  return arena.allocate(size, alignof(TJSONbase));
}

void TJSONbase::operator delete(void*, TArena&) noexcept {}

void TJSONbase::operator delete(TJSONbase* element, std::destroying_delete_t) {
  const bool inArena = element->FInArena;
  element->~TJSONbase();
  if (!inArena) ::operator delete(element);
}

void TJSONbase::Release() noexcept {
  if (FKind == TJSONKind::String && FUnitsOnHeap) delete[] FPayload.String.Data;
  if (FKind == TJSONKind::List || FKind == TJSONKind::Object) delete FPayload.Container;
  FKind = TJSONKind::Null;
  FUnitsOnHeap = false;
}

void TJSONbase::SetUnits(std::u16string_view units) {
  auto* copy = new char16_t[units.size()];
  std::copy(units.begin(), units.end(), copy);
  Release();
  FPayload.String = {copy, units.size()};
  FKind = TJSONKind::String;
  FUnitsOnHeap = true;
}

TJSONKind TJSONbase::Kind() const { return FKind; }

TVariant TJSONbase::Value() const {
  switch (FKind) {
    case TJSONKind::Boolean:
      return TVariant(FPayload.Boolean);
    case TJSONKind::Integer:
      return TVariant(FPayload.Integer);
    case TJSONKind::Float:
      return TVariant(FPayload.Float);
    case TJSONKind::String:
      return TVariant(Utf16ToCp1252(Units()));
    case TJSONKind::List:
    case TJSONKind::Object:
      return TVariant::FromObject(FPayload.Container);
    default:
      return TVariant::Null();
  }
}

void TJSONbase::SetValue(const TVariant& value) {
  switch (value.Kind()) {
    case TVarKind::Empty:
    case TVarKind::Null:
      Release();
      break;
    case TVarKind::Boolean:
      Release();
      FPayload.Boolean = value.ToBoolean();
      FKind = TJSONKind::Boolean;
      break;
    case TVarKind::Integer:
      Release();
      FPayload.Integer = value.ToInteger();
      FKind = TJSONKind::Integer;
      break;
    case TVarKind::Double:
    case TVarKind::Currency:
      Release();
      FPayload.Float = value.ToDouble();
      FKind = TJSONKind::Float;
      break;
    case TVarKind::Text:
      SetUnits(Cp1252ToUtf16(value.Text()));
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
  Release();
  FPayload.Container = container;
  FKind = container->Kind();
  container->FOwner = this;
}

std::string TJSONbase::Text() const {
  TJSONTextBuffer buffer;
  WriteTo(buffer);
  return std::string(buffer.View());
}

void TJSONbase::WriteTo(TJSONTextBuffer& out) const {
  switch (FKind) {
    case TJSONKind::Null:
      return out.Append("null");
    case TJSONKind::Boolean:
      return out.Append(FPayload.Boolean ? std::string_view("true") : "false");
    case TJSONKind::Integer:
      return WriteInteger(FPayload.Integer, out);
    case TJSONKind::Float:
      return WriteFloat(FPayload.Float, out);
    case TJSONKind::String:
      return WriteString(Units(), out);
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

TJSONarray::TJSONarray(TArena* arena)
    : FItems(arena != nullptr ? arena : std::pmr::new_delete_resource()) {}

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

TJSONobject::TJSONobject(TArena* arena)
    : TJSONarray(arena), FNames(arena != nullptr ? arena : std::pmr::new_delete_resource()) {}

TJSONobject::~TJSONobject() { ReleaseNames(); }

std::string_view TJSONobject::KeepName(std::string_view name) {
  auto* bytes = static_cast<char*>(FNames.get_allocator().resource()->allocate(name.size(), 1));
  std::copy(name.begin(), name.end(), bytes);
  return {bytes, name.size()};
}

void TJSONobject::ReleaseNames() noexcept {
  TArena* resource = FNames.get_allocator().resource();
  for (const std::string_view name : FNames)
    resource->deallocate(const_cast<char*>(name.data()), name.size(), 1);
  FNames.clear();
}

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
    Add(name, std::move(element));
  } else {
    FItems[position] = Adopt(std::move(element));
  }
}

std::string TJSONobject::NameOf(int32_t index) const {
  if (index < 0 || index >= static_cast<int32_t>(FNames.size())) RaiseOutside(index, FNames.size());
  return std::string(FNames[index]);
}

void TJSONobject::Clear() {
  FIndex.reset();
  ReleaseNames();
  FItems.clear();
}

void TJSONobject::Visit(const TJSONVisitor& visitor, void* data) {
  VisitItems(visitor, data, [this](int32_t index) { return std::string(FNames[index]); });
}

TJSONbase& TJSONobject::Add(std::string_view name, std::unique_ptr<TJSONbase> element) {
  if (name.empty()) throw TJSONError(kEmptyName);
  std::unique_ptr<TJSONbase> adopted = Adopt(std::move(element));
  FItems.reserve(FItems.size() + 1);
  FNames.reserve(FNames.size() + 1);
  const std::string_view kept = KeepName(name);
  // Nothing below throws, so Items and Names stay parallel.
  FNames.push_back(kept);
  FItems.push_back(std::move(adopted));
  try {
    if (FIndex) FIndex->SetItem(name, static_cast<int32_t>(FItems.size()) - 1);
  } catch (const std::bad_alloc&) {
    FIndex.reset();  // rebuilt by the next lookup
  }
  return *FItems.back();
}

// Parsing ------------------------------------------------------------------

namespace {

// Arena blocks that documents gave back wait here for the next document, up
// to kCachedBlocks, so that parsing one document after another does not hand
// the same memory back and forth with the system. Thread-safe.
class TBlockCache final {
 public:
  static constexpr std::size_t kBlockBytes = 64 * 1024;
  static constexpr std::size_t kCachedBlocks = 1024;  // 64 MB

  TBlockCache() { FBlocks.reserve(kCachedBlocks); }
  TBlockCache(const TBlockCache&) = delete;
  TBlockCache& operator=(const TBlockCache&) = delete;
  ~TBlockCache() {
    for (void* block : FBlocks) std::free(block);
  }

  void* Take() {
    {
      const std::lock_guard lock(FLock);
      if (!FBlocks.empty()) {
        void* block = FBlocks.back();
        FBlocks.pop_back();
        return block;
      }
    }
    return Allocate(kBlockBytes);
  }

  void Give(void* block) noexcept {
    {
      const std::lock_guard lock(FLock);
      if (FBlocks.size() < kCachedBlocks) {
        FBlocks.push_back(block);  // within the reserved capacity: cannot throw
        return;
      }
    }
    std::free(block);
  }

  static void* Allocate(std::size_t bytes) {
    void* block = std::malloc(bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }

 private:
  std::mutex FLock;
  std::vector<void*> FBlocks;
};

// Outside every process scope documents take and free their blocks directly.
constinit TProcessSlot<TBlockCache> gBlockCache("JSON block cache");

void* TakeBlock() {
  TBlockCache* cache = gBlockCache.Find();
  return cache != nullptr ? cache->Take() : TBlockCache::Allocate(TBlockCache::kBlockBytes);
}

void GiveBlock(void* block) noexcept {
  if (TBlockCache* cache = gBlockCache.Find())
    cache->Give(block);
  else
    std::free(block);
}

// The memory of a parsed document: blocks handed out front to back and all
// released together, when the document goes.
class TJSONArena final : public std::pmr::memory_resource {
 public:
  static constexpr std::size_t kBlockBytes = TBlockCache::kBlockBytes;

  TJSONArena() = default;
  TJSONArena(const TJSONArena&) = delete;
  TJSONArena& operator=(const TJSONArena&) = delete;
  ~TJSONArena() override {
    for (void* block : FBlocks) GiveBlock(block);
    for (void* block : FLargeBlocks) std::free(block);
  }

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (bytes > kBlockBytes / 4) return Large(bytes);
    std::size_t start = (FUsed + alignment - 1) & ~(alignment - 1);
    if (FBlocks.empty() || start + bytes > kBlockBytes) {
      FBlocks.reserve(FBlocks.size() + 1);
      FBlocks.push_back(TakeBlock());
      start = 0;
    }
    FUsed = start + bytes;
    return static_cast<char*>(FBlocks.back()) + start;
  }
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  // A request of more than a quarter block gets memory of its own.
  void* Large(std::size_t bytes) {
    FLargeBlocks.reserve(FLargeBlocks.size() + 1);
    FLargeBlocks.push_back(TBlockCache::Allocate(bytes));
    return FLargeBlocks.back();
  }

  std::vector<void*> FBlocks;       // from the cache; the last one is being filled
  std::vector<void*> FLargeBlocks;  // from malloc
  std::size_t FUsed = 0;            // bytes of the last block handed out
};

}  // namespace

std::unique_ptr<TScopePart> MakeJSONBlockCache() { return gBlockCache.Make(); }

// A recursive-descent parser over one text, building the document in an
// arena. Recursion is bounded by kMaxJSONDepth containers. The items of the
// containers being read wait on one stack, so that each container gets its
// items in one piece.
class TJSONParser final {
 public:
  explicit TJSONParser(std::string_view text)
      : FText(text), FArena(std::make_unique<TJSONArena>()) {}

  std::unique_ptr<TJSONarray> Document() {
    SkipWhitespace();
    if (AtEnd()) return nullptr;
    std::unique_ptr<TJSONarray> document = Container(true);
    SkipWhitespace();
    if (!AtEnd()) RaiseUnexpected();
    document->FArena = std::move(FArena);
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

  // A new element in the arena (the top-level container on the heap, since
  // it owns the arena).
  template <class T, class... TArgs>
  std::unique_ptr<T> Make(bool topLevel, TArgs&&... args) {
    if (topLevel) return std::unique_ptr<T>(new T(std::forward<TArgs>(args)...));
    std::unique_ptr<T> element(new (*FArena) T(std::forward<TArgs>(args)...));
    element->FInArena = true;
    return element;
  }
  template <class... TArgs>
  std::unique_ptr<TJSONbase> Scalar(TArgs&&... args) {
    return Make<TJSONbase>(false, std::forward<TArgs>(args)...);
  }

  std::unique_ptr<TJSONarray> Container(bool topLevel = false) {
    const char c = AtEnd() ? '\0' : Current();
    if (c != '[' && c != '{') RaiseUnexpected();
    if (FDepth == kMaxJSONDepth) {
      const std::string message =
          "Nesting deeper than " + std::to_string(kMaxJSONDepth) + " levels";
      RaiseAt(message.c_str(), FPos);
    }
    ++FDepth;
    ++FPos;
    std::unique_ptr<TJSONarray> container;
    if (c == '[') {
      container = List(Make<TJSONlist>(topLevel, FArena.get()));
    } else {
      container = Object(Make<TJSONobject>(topLevel, FArena.get()));
    }
    --FDepth;
    return container;
  }

  // Moves the items from `first` on off the stack into `container`.
  void TakeItems(TJSONarray& container, std::size_t first) {
    container.FItems.reserve(FItems.size() - first);
    for (std::size_t i = first; i < FItems.size(); ++i)
      container.FItems.push_back(container.Adopt(std::move(FItems[i])));
    FItems.resize(first);
  }

  // Reads the items of a container up to `closing`, each through `readItem`,
  // with the separator rules that lists and objects share.
  template <class TReadItem>
  void ReadItems(char closing, TReadItem readItem) {
    const std::size_t first = FItems.size();
    bool comma = false;
    for (;;) {
      SkipWhitespace();
      if (AtEnd()) throw TJSONError(kMissingBracket);
      const char c = Current();
      if (c == ',') {
        if (comma || FItems.size() == first) RaiseAt("Empty element", FPos);
        comma = true;
        ++FPos;
      } else if (c == closing) {
        if (comma) RaiseAt("Empty element", FPos);
        ++FPos;
        return;
      } else {
        readItem();
        comma = false;
      }
    }
  }

  std::unique_ptr<TJSONarray> List(std::unique_ptr<TJSONlist> list) {
    const std::size_t first = FItems.size();
    ReadItems(']', [this] { FItems.push_back(RequiredValue()); });
    TakeItems(*list, first);
    return list;
  }

  std::unique_ptr<TJSONarray> Object(std::unique_ptr<TJSONobject> object) {
    const std::size_t first = FItems.size();
    const std::size_t firstName = FNames.size();
    ReadItems('}', [this] {
      FNames.push_back(MemberName());
      FItems.push_back(MemberValue());
    });
    object->FNames.assign(FNames.begin() + static_cast<std::ptrdiff_t>(firstName), FNames.end());
    FNames.resize(firstName);
    TakeItems(*object, first);
    return object;
  }

  // The name in Windows-1252 bytes, kept in the arena.
  std::string_view MemberName() {
    if (Current() != '"') RaiseAt("Unquoted property name", FPos);
    const std::size_t start = FPos + 1;
    bool escaped = false;
    const std::string_view raw = RawString(escaped);
    if (raw.empty()) RaiseAt("Empty property name", start);
    // Without escapes every byte is its own Windows-1252 character.
    if (!escaped) return Keep(raw);
    return Keep(Utf16ToCp1252(Unescape(raw, *FArena)));
  }

  std::string_view Keep(std::string_view bytes) {
    auto* kept = static_cast<char*>(FArena->allocate(bytes.size(), 1));
    std::copy(bytes.begin(), bytes.end(), kept);
    return {kept, bytes.size()};
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
        return Scalar(escaped ? Unescape(raw, *FArena) : Widen(raw, *FArena), *FArena);
      }
      case 't':
      case 'T':
        return Literal("rue") ? Scalar(true) : nullptr;
      case 'f':
      case 'F':
        return Literal("alse") ? Scalar(false) : nullptr;
      case 'n':
      case 'N':
        return Literal("ull") ? Scalar() : nullptr;
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
    if (integral && SmallInteger(token, integer)) return Scalar(integer);
    double value = 0;
    // The variant's conversion raises the conversion error for what TryStrToFloat rejects.
    if (!TryStrToFloat(token, value)) value = TVariant(token).ToDouble();
    return Scalar(value);
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
  // Declared before the stacks, so that it goes after the elements waiting on them.
  std::unique_ptr<TJSONArena> FArena;
  std::vector<std::unique_ptr<TJSONbase>> FItems;
  std::vector<std::string_view> FNames;  // of the objects being read, parallel to their items
};

std::unique_ptr<TJSONarray> ParseJSON(std::string_view text) {
  return TJSONParser(text).Document();
}

}  // namespace quv
