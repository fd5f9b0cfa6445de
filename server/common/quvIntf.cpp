#include "server/common/quvIntf.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <utility>

#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "platform/LittleEndian.h"
#include "server/common/quvstream.h"

namespace quv {

namespace {

constexpr std::string_view kBadStringSize = "Bad string size.The quv file can be corrupt";
constexpr std::string_view kInvalidStream = "Invalid symboldef stream";
constexpr std::string_view kDefaultGroupName = "Dados Gerais";
constexpr int32_t kMaxTextSize = 102400;
constexpr int32_t kUncheckedHeaderText = 65535;
constexpr int32_t kEndCheckInterval = 50;
constexpr int32_t kEmptyIndexCapacity = 50;
// Nested sets inside nested sets: far more than any real record needs, few
// enough that a hostile stream cannot exhaust the call stack.
constexpr int32_t kMaxNestingDepth = 32;
constexpr int32_t kTextChunk = 4096;

std::atomic<IquvDefinitionSource*> GDefinitionSource{nullptr};

[[noreturn]] void Fail(std::string_view message) { throw TquvInterfaceError(std::string(message)); }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiUpperChar(x) == AsciiUpperChar(y);
         });
}

std::string AsciiUpper(std::string_view s) {
  std::string upper(s);
  for (char& c : upper) c = AsciiUpperChar(c);
  return upper;
}

std::size_t DotCount(std::string_view s) { return std::count(s.begin(), s.end(), '.'); }

bool IsDefaultGroup(std::string_view name) {
  return name.empty() || SameText(name, kDefaultGroupName);
}

// Reads `length` bytes, growing the result only as bytes arrive, so a length
// that the stream cannot back never sizes a large allocation.
std::string ReadBytes(TquvStream& stream, int32_t length) {
  std::string result;
  while (static_cast<int32_t>(result.size()) < length) {
    const int32_t chunk = std::min<int32_t>(kTextChunk, length - int32_t(result.size()));
    const std::size_t at = result.size();
    result.resize(at + static_cast<std::size_t>(chunk));
    stream.ReadBuffer(result.data() + at, chunk);
  }
  return result;
}

std::string ReadHeaderText(TquvStream& stream) {
  const int32_t length = stream.ReadInteger();
  if (length < 0 || (length > kUncheckedHeaderText && length > stream.Remaining())) {
    Fail(kInvalidStream);
  }
  return ReadBytes(stream, length);
}

// Symbol texts are short or medium from version 8 on, long before.
int32_t ShortWidth(uint16_t version) { return version >= 8 ? kShort : kLong; }
int32_t MediumWidth(uint16_t version) { return version >= 8 ? kMedium : kLong; }

}  // namespace

uint32_t ReadUnsigned(TquvStream& stream, int32_t width) {
  uint8_t bytes[4];
  stream.ReadBuffer(bytes, width);
  return static_cast<uint32_t>(GetLittleEndian(bytes, width));
}

void WriteUnsigned(TquvStream& stream, uint32_t value, int32_t width) {
  uint8_t bytes[4];
  PutLittleEndian(bytes, value, width);
  stream.WriteBuffer(bytes, width);
}

uint8_t ReadByte(TquvStream& stream) { return static_cast<uint8_t>(ReadUnsigned(stream, 1)); }

uint16_t ReadWord(TquvStream& stream) { return static_cast<uint16_t>(ReadUnsigned(stream, 2)); }

std::string ReadText(TquvStream& stream, int32_t width) {
  const int32_t length = static_cast<int32_t>(ReadUnsigned(stream, width));
  if (length < 0 || length > kMaxTextSize) Fail(kBadStringSize);
  return ReadBytes(stream, length);
}

void WriteText(TquvStream& stream, std::string_view text, int32_t width) {
  const std::size_t limit = width == kShort ? 255 : width == kMedium ? 65535 : 2147483647;
  const std::string_view cut = text.substr(0, std::min(text.size(), limit));
  WriteUnsigned(stream, static_cast<uint32_t>(cut.size()), width);
  stream.WriteRawString(cut);
}

int32_t DataSizeOf(char typeCode, uint16_t size, uint8_t decimals) {
  switch (typeCode) {
    case 'N':
    case '+':
      return decimals == 0 ? 4 : 8;
    case 'B':
      return 2;
    case 'D':
    case 'T':
    case 'H':
    case 'M':
      return 8;
    case 'A':
    case 'I':
    case 'R':
      return size > 0 ? size + 1 : 0;
    default:
      return 0;
  }
}

std::string CompleteName(std::string_view reference, std::string_view setName) {
  if (!reference.empty() && reference.front() == '.') reference.remove_prefix(1);
  if (DotCount(reference) == 1 && !setName.empty()) {
    return std::string(setName) + "." + std::string(reference);
  }
  return std::string(reference);
}

std::string ShortenName(std::string_view reference, std::string_view setName) {
  if (DotCount(reference) > 1) {
    const std::string_view library = reference.substr(0, reference.find('.'));
    if (!SameText(library, "quvsystem") && !SameText(library, "vantora")) {
      reference.remove_prefix(library.size() + 1);
    }
  }
  if (!setName.empty() && DotCount(reference) <= 2 && reference.size() > setName.size() &&
      reference[setName.size()] == '.' && SameText(reference.substr(0, setName.size()), setName)) {
    reference.remove_prefix(setName.size() + 1);
  }
  return std::string(reference);
}

void SetDefinitionSource(IquvDefinitionSource* source) { GDefinitionSource.store(source); }

// ---- TquvSymbolDef ----

TquvSymbolDef::TquvSymbolDef(TquvCustomSymbolDefs& owner, std::string name)
    : FOwner(&owner), FName(std::move(name)), FOwnerKind(owner.Kind()) {}

TquvSymbolDef::~TquvSymbolDef() = default;

void TquvSymbolDef::SetName(std::string name) {
  FName = std::move(name);
  FOwner->DropNameIndex();
}

void TquvSymbolDef::SetTypeCode(char typeCode) {
  FTypeCode = typeCode;
  if (typeCode == '+') FFlags |= kSymbolIncrement;
  FOwner->RecomputeOffsets();
}

void TquvSymbolDef::SetSize(uint16_t size) {
  FSize = size;
  FOwner->RecomputeOffsets();
}

void TquvSymbolDef::SetDecimals(uint8_t decimals) {
  FDecimals = decimals;
  FOwner->RecomputeOffsets();
}

void TquvSymbolDef::SetGroupName(std::string_view groupName) {
  if (IsDefaultGroup(groupName)) {
    FGroupName.clear();
    FGroup = nullptr;
    return;
  }
  FGroup = FOwner->FindGroup(groupName);
  if (FGroup == nullptr) {
    TquvGroupDef group;
    group.IsNew = true;
    group.Name = std::string(groupName);
    FGroup = &FOwner->AddGroup(std::move(group));
  }
  FGroupName = std::string(groupName);
}

TquvSymbolDefs& TquvSymbolDef::MakeNested() {
  if (!FNested) FNested = std::make_unique<TquvSymbolDefs>();
  return *FNested;
}

TquvSymbolDefs& TquvSymbolDef::Nested() {
  if (FTypeCode != 'R') Fail("This field is not of RECORD TYPE");
  if (FNested || FReference.empty()) return MakeNested();
  auto nested = std::make_unique<TquvSymbolDefs>();
  IquvDefinitionSource* source = GDefinitionSource.load();
  if (source == nullptr) {
    throw TquvInterfaceError(std::string("Interface não encontrada:"_cp) +
                             AnsiUpperCase(FReference));
  }
  source->FillDefinitions(FReference, *nested);
  FNested = std::move(nested);
  return *FNested;
}

void TquvSymbolDef::AssignFrom(const TquvSymbolDef& source) {
  FConstraint = source.FConstraint;
  FName = source.FName;
  FReference = source.FReference;
  FTypeCode = source.FTypeCode;
  FSize = source.FSize;
  FFlags = source.FFlags;
  FDecimals = source.FDecimals;
  FDisplayWidth = source.FDisplayWidth;
  FGroupNumber = source.FGroupNumber;
  FOwnerKind = source.FOwnerKind;
  FTexts = source.FTexts;
  FBytes = source.FBytes;
  FLeadTexts = source.FLeadTexts;
  SetGroupName(source.FGroupName);
  if (source.FNested) MakeNested().Assign(*source.FNested);
}

// ---- TquvCustomSymbolDefs ----

struct TquvCustomSymbolDefs::THeader {
  uint8_t Form = 0;
  std::string Name;
  std::string QualifiedName;
  uint16_t Revision = 0;
  uint16_t FormatVersion = 0;
  uint8_t Kind = 0;
};

TquvCustomSymbolDefs::TquvCustomSymbolDefs() = default;
TquvCustomSymbolDefs::~TquvCustomSymbolDefs() = default;

void TquvCustomSymbolDefs::SetFormatVersion(uint16_t version) {
  if (version < 1 || version > kSymbolDefsFormatVersion) {
    throw TquvInterfaceError("Unsupported definition-set format version " +
                             std::to_string(version));
  }
  FFormatVersion = version;
}

const TquvSymbolDef& TquvCustomSymbolDefs::Item(int32_t index) const {
  if (index < 0 || index >= Count()) {
    throw TquvInterfaceError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *FSymbols[static_cast<std::size_t>(index)];
}

TquvSymbolDef& TquvCustomSymbolDefs::Item(int32_t index) {
  return const_cast<TquvSymbolDef&>(std::as_const(*this).Item(index));
}

int32_t TquvCustomSymbolDefs::IndexOf(std::string_view name) const {
  if (!FNameIndex) BuildNameIndex();
  void* position = nullptr;
  if (!FNameIndex->Find(AsciiUpper(name), position)) return -1;
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(position));
}

TquvSymbolDef& TquvCustomSymbolDefs::AddSymbol(std::string name) {
  auto symbol = std::make_unique<TquvSymbolDef>(*this, std::move(name));
  symbol->FOffset = RecordSize();
  FSymbols.push_back(std::move(symbol));
  // Without an index yet, the first IndexOf builds it.
  if (FNameIndex) IndexName(Count() - 1);
  FModified = true;
  ForgetPrepared();
  return *FSymbols.back();
}

TquvGroupDef& TquvCustomSymbolDefs::Group(int32_t index) const {
  if (index < 0 || index >= GroupCount()) {
    throw TquvInterfaceError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *FGroups[static_cast<std::size_t>(index)];
}

TquvGroupDef& TquvCustomSymbolDefs::AddGroup(TquvGroupDef group) {
  if (IsDefaultGroup(group.Name)) group.Name.clear();
  FGroups.push_back(std::make_unique<TquvGroupDef>(std::move(group)));
  return *FGroups.back();
}

TquvGroupDef* TquvCustomSymbolDefs::FindGroup(std::string_view name) const {
  for (const auto& group : FGroups)
    if (SameText(group->Name, name)) return group.get();
  return nullptr;
}

int32_t TquvCustomSymbolDefs::GroupIndexOf(const TquvGroupDef* group) const {
  for (std::size_t i = 0; i < FGroups.size(); ++i)
    if (FGroups[i].get() == group) return static_cast<int32_t>(i);
  return -1;
}

void TquvCustomSymbolDefs::Clear() {
  FSymbols.clear();
  FGroups.clear();
  FNameIndex.reset();
  FModified = true;
  ForgetPrepared();
}

void TquvCustomSymbolDefs::Assign(const TquvCustomSymbolDefs& source) {
  if (&source == this) return;
  Clear();
  FName = source.Name();
  FQualifiedName = source.QualifiedName();
  FRevision = source.Revision();
  FFlag = source.Flag();
  FText = source.Text();
  if (FKind == 2) FKind = source.Kind();
  for (const auto& group : source.FGroups) AddGroup(*group);
  for (const auto& symbol : source.FSymbols) {
    FSymbols.push_back(std::make_unique<TquvSymbolDef>(*this, std::string()));
    FSymbols.back()->AssignFrom(*symbol);
  }
  RecomputeOffsets();
  // The name index is built by the first IndexOf: most copies are never searched by name.
}

void TquvCustomSymbolDefs::RecomputeOffsets() {
  int32_t offset = 0;
  for (const auto& symbol : FSymbols) {
    symbol->FOffset = offset;
    offset += symbol->DataSize();
  }
}

int32_t TquvCustomSymbolDefs::RecordSize() const {
  int32_t size = 0;
  for (const auto& symbol : FSymbols) size += symbol->DataSize();
  return size;
}

void TquvCustomSymbolDefs::PrepareForSharing() {
  RecomputeOffsets();
  if (!FNameIndex) BuildNameIndex();
  FPrepared = true;
}

void TquvCustomSymbolDefs::ForgetPrepared() {
  FPrepared = false;
  std::lock_guard<std::mutex> guard(FWrittenLock);
  FWrittenForms.clear();
}

void TquvCustomSymbolDefs::BuildNameIndex() const {
  IndexAll(FSymbols.empty() ? kEmptyIndexCapacity : Count());
}

void TquvCustomSymbolDefs::IndexAll(int32_t capacity) const {
  FNameIndex = std::make_unique<THashList>(capacity);
  for (int32_t i = 0; i < Count(); ++i) IndexName(i);
}

void TquvCustomSymbolDefs::IndexName(int32_t position) const {
  const std::string& name = FSymbols[static_cast<std::size_t>(position)]->Name();
  const std::string key = AsciiUpper(name);
  if (FNameIndex->Exists(key)) {
    OutputDebugString("Detected duplicated item " + name + " in " + QualifiedName());
    return;
  }
  FNameIndex->Add(key, THashValue::FromInt(position));
}

// ---- The field record layout ----

namespace {

// What a slot of the field record holds.
enum class TSlotValue : uint8_t {
  LeadText,  // the text numbered Index of the two that open early records
  Name,
  TypeCode,
  Size,
  Flags,
  Decimals,
  Constraint,
  GroupName,   // the group before versions had group indexes
  GroupIndex,  // signed, -1 for none
  Reference,
  DisplayWidth,
  Text,          // the text numbered Index
  Byte,          // the byte numbered Index
  NestedMarker,  // non-zero: the field's nested set follows
};

// How a slot is encoded: a number of 1 or 2 bytes, or a text with a short or
// medium length in front (long before version 8).
enum class TSlotCoding : uint8_t { U8, U16, ShortText, MediumText };

// Which records of its version range hold a slot.
enum class TSlotWhen : uint8_t {
  AnyForm,
  NotShortForm,   // form is not 1
  FullForm,       // form is 0
  NestingLevel,   // level is 2 or more
  ExtensionFlag,  // the flags as the record carries them have kSymbolHasText15
};

constexpr bool IsText(TSlotCoding coding) {
  return coding == TSlotCoding::ShortText || coding == TSlotCoding::MediumText;
}

int32_t WidthOf(TSlotCoding coding, uint16_t version) {
  switch (coding) {
    case TSlotCoding::U8:
      return 1;
    case TSlotCoding::U16:
      return 2;
    case TSlotCoding::ShortText:
      return ShortWidth(version);
    case TSlotCoding::MediumText:
      return MediumWidth(version);
  }
  return 0;
}

struct TSymbolSlot {
  TSlotValue Value;
  TSlotCoding Coding;
  uint16_t FirstVersion;
  uint16_t LastVersion;
  TSlotWhen When;
  int Index = 0;  // the TSymbolText of a Text, the number of a Byte
};

}  // namespace

// A record being read or written: its version, form and level, and its flags
// as they travel, which decide a later slot.
struct TRecordShape {
  uint16_t Version;
  uint8_t Form;
  int32_t Level;
  uint16_t CarriedFlags = 0;

  bool Holds(const TSymbolSlot& slot) const {
    // Versions run from 1 to the newest: a bound at either end needs no test.
    if (slot.FirstVersion > 1 && Version < slot.FirstVersion) return false;
    if (slot.LastVersion < kSymbolDefsFormatVersion && Version > slot.LastVersion) return false;
    switch (slot.When) {
      case TSlotWhen::AnyForm:
        return true;
      case TSlotWhen::NotShortForm:
        return Form != 1;
      case TSlotWhen::FullForm:
        return Form == 0;
      case TSlotWhen::NestingLevel:
        return Level >= 2;
      case TSlotWhen::ExtensionFlag:
        return (CarriedFlags & kSymbolHasText15) != 0;
    }
    return false;
  }
};

namespace {

// The field record, in stream order; both the reader and the writer walk it.
// Each slot: what it holds, its coding, its first and last version, which
// records of those versions hold it, and the number of its text or byte.
constexpr auto kSymbolLayout = [] {
  using enum TSlotValue;
  using enum TSlotCoding;
  using enum TSlotWhen;
  constexpr uint16_t kLast = kSymbolDefsFormatVersion;
  return std::to_array<TSymbolSlot>({
      {LeadText, MediumText, 1, 2, AnyForm, 1},
      {LeadText, MediumText, 1, 2, AnyForm, 2},
      {Name, ShortText, 1, kLast, AnyForm},
      {TypeCode, U8, 1, kLast, AnyForm},
      {Size, U16, 1, kLast, AnyForm},
      {Flags, U8, 1, 23, NotShortForm},
      {Flags, U16, 24, 35, NotShortForm},
      {Flags, U16, 36, kLast, AnyForm},
      {Decimals, U8, 1, kLast, AnyForm},
      {Constraint, ShortText, 1, kLast, NotShortForm},
      {GroupName, ShortText, 3, 8, NotShortForm},
      {GroupIndex, U16, 9, kLast, NotShortForm},
      {Text, MediumText, 3, kLast, NotShortForm, kTextCaption},
      {Text, ShortText, 3, kLast, NotShortForm, kTextShortCaption},
      {Text, ShortText, 3, kLast, NotShortForm, kTextDisplayFormat},
      {Text, ShortText, 3, kLast, NotShortForm, kTextEditMask},
      {Text, ShortText, 3, kLast, NotShortForm, kTextDefaultValue},
      {Reference, ShortText, 3, kLast, AnyForm},
      {DisplayWidth, U8, 4, 20, FullForm},
      {DisplayWidth, U16, 21, kLast, FullForm},
      {Text, ShortText, 5, kLast, FullForm, kTextUnit},
      {Text, MediumText, 5, kLast, FullForm, kTextHint},
      {Byte, U8, 5, kLast, FullForm, 1},
      {Text, MediumText, 12, kLast, FullForm, kTextValueList},
      {Text, MediumText, 12, kLast, FullForm, kTextValueCaptions},
      {Text, MediumText, 18, kLast, FullForm, kTextLookupSource},
      {Text, MediumText, 18, kLast, FullForm, kTextLookupField},
      {Byte, U8, 19, kLast, FullForm, 2},
      {Text, MediumText, 22, kLast, AnyForm, kTextExpression},
      {Byte, U8, 23, kLast, AnyForm, 3},
      {NestedMarker, U8, 35, kLast, NestingLevel},
      {Text, MediumText, 1, kLast, ExtensionFlag, kTextExtension},
      {Text, MediumText, 37, kLast, AnyForm, kTextComment},
  });
}();

constexpr bool HoldsText(TSlotValue value) {
  using enum TSlotValue;
  return value == LeadText || value == Name || value == Constraint || value == GroupName ||
         value == Reference || value == Text;
}

// A slot is coded as what it holds, and a text or byte it names exists.
constexpr bool IsWellFormed(const TSymbolSlot& slot) {
  const int numbers = slot.Value == TSlotValue::Text       ? 15
                      : slot.Value == TSlotValue::Byte     ? 3
                      : slot.Value == TSlotValue::LeadText ? 2
                                                           : 0;
  return IsText(slot.Coding) == HoldsText(slot.Value) &&
         (numbers == 0 || (slot.Index >= 1 && slot.Index <= numbers));
}
static_assert(std::ranges::all_of(kSymbolLayout, IsWellFormed));

// Calls `visit` with the position of each slot of the layout, in stream order,
// as a compile-time constant, so that each slot's handling folds to the code
// written for it.
template <class Visit>
void ForEachSlot(Visit visit) {
  const auto visitAll = [&]<std::size_t... Slot>(std::index_sequence<Slot...>) {
    (visit(std::integral_constant<std::size_t, Slot>()), ...);
  };
  visitAll(std::make_index_sequence<kSymbolLayout.size()>());
}

}  // namespace

// ---- Reading ----

TquvCustomSymbolDefs::THeader TquvCustomSymbolDefs::ReadHeader(TquvStream& stream) {
  THeader header;
  header.Form = ReadByte(stream);
  header.Name = ReadHeaderText(stream);
  header.QualifiedName = ReadHeaderText(stream);
  header.Revision = ReadWord(stream);
  header.FormatVersion = ReadWord(stream);
  if (header.FormatVersion == 0) header.FormatVersion = 25;
  if (header.FormatVersion > kSymbolDefsFormatVersion) Fail(kInvalidStream);
  header.Kind = ReadByte(stream);
  return header;
}

void TquvCustomSymbolDefs::ReadFromStream(TStream& stream, bool force, int32_t level,
                                          bool withGroups) {
  if (FNestingDepth > kMaxNestingDepth) Fail(kInvalidStream);
  TquvStream reader(&stream, false);
  const THeader header = ReadHeader(reader);
  if (!force && SameText(header.Name, Name()) && header.Revision == Revision() &&
      header.Kind == Kind() && Count() > 0) {
    return;
  }
  // Read into a fresh set so that a failure leaves this one as it was.
  TquvSymbolDefs fresh;
  fresh.FNestingDepth = FNestingDepth;
  fresh.FKeepStoredForm = FKeepStoredForm;
  fresh.FName = header.Name;
  fresh.FQualifiedName =
      FKeepStoredForm ? header.QualifiedName : CompleteName(header.QualifiedName, header.Name);
  fresh.FRevision = header.Revision;
  fresh.FFormatVersion = header.FormatVersion;
  fresh.FKind = header.Kind;
  if (withGroups) {
    const int32_t groupCount = reader.ReadInteger();
    if (groupCount < 0) Fail(kInvalidStream);
    for (int32_t i = 0; i < groupCount; ++i)
      fresh.AddGroup(ReadGroupRecord(reader, header.FormatVersion));
  } else {
    for (const auto& group : FGroups) fresh.AddGroup(*group);
  }
  const int32_t symbolCount = reader.ReadInteger();
  if (symbolCount < 0) Fail(kInvalidStream);
  fresh.ReadSymbolRecords(reader, symbolCount, header.Form, level, withGroups);
  TakeContents(fresh);
}

void TquvCustomSymbolDefs::TakeContents(TquvCustomSymbolDefs& source) {
  FName = std::move(source.FName);
  FQualifiedName = std::move(source.FQualifiedName);
  FRevision = source.FRevision;
  FFormatVersion = source.FFormatVersion;
  FKind = source.FKind;
  FGroups = std::move(source.FGroups);
  FSymbols = std::move(source.FSymbols);
  for (const auto& symbol : FSymbols) symbol->FOwner = this;
  FModified = true;
  ForgetPrepared();
  FNameIndex = std::move(source.FNameIndex);  // positions stay the same
}

TquvGroupDef TquvCustomSymbolDefs::ReadGroupRecord(TquvStream& stream, uint16_t version) {
  TquvGroupDef group;
  group.Name = ReadText(stream, ShortWidth(version));
  group.Number = static_cast<int16_t>(ReadWord(stream));
  if (version >= 13) {
    group.ByteA = ReadByte(stream);
    group.ByteB = ReadByte(stream);
  }
  if (version >= 25) {
    group.ByteC = ReadByte(stream);
    group.TextA = ReadText(stream, kShort);
    group.TextB = ReadText(stream, kMedium);
  }
  return group;
}

void TquvCustomSymbolDefs::ReadSymbolRecords(TquvStream& stream, int32_t count, uint8_t form,
                                             int32_t level, bool linkGroups) {
  int32_t offset = RecordSize();
  for (int32_t i = 0; i < count; ++i) {
    if (i > 0 && i % kEndCheckInterval == 0 && stream.Remaining() == 0) Fail(kInvalidStream);
    FSymbols.push_back(std::make_unique<TquvSymbolDef>(*this, std::string()));
    TquvSymbolDef& symbol = *FSymbols.back();
    symbol.FOffset = offset;
    ReadSymbolRecord(stream, symbol, form, level, linkGroups);
    offset += symbol.DataSize();
  }
  BuildNameIndex();
}

void TquvCustomSymbolDefs::ReadSymbolRecord(TquvStream& stream, TquvSymbolDef& symbol, uint8_t form,
                                            int32_t level, bool linkGroups) {
  TRecordShape shape{FFormatVersion, form, level};
  ForEachSlot([&](auto slot) { ReadSlot<slot>(stream, shape, symbol, linkGroups); });
  // What the stream says beside its slots.
  if (symbol.FTypeCode == '+') symbol.FFlags |= kSymbolIncrement;
  if (shape.Version == 3 && !FKeepStoredForm && symbol.FConstraint == "NOT NULL") {
    symbol.FFlags |= kSymbolRequired;
    symbol.FConstraint.clear();
  }
}

template <std::size_t Slot>
void TquvCustomSymbolDefs::ReadSlot(TquvStream& stream, TRecordShape& shape, TquvSymbolDef& symbol,
                                    bool linkGroups) {
  constexpr TSymbolSlot slot = kSymbolLayout[Slot];
  if (!shape.Holds(slot)) return;
  const int32_t width = WidthOf(slot.Coding, shape.Version);
  const auto text = [&] { return ReadText(stream, width); };
  const auto number = [&] { return ReadUnsigned(stream, width); };
  switch (slot.Value) {
    case TSlotValue::LeadText:
      symbol.FLeadTexts[static_cast<std::size_t>(slot.Index - 1)] = text();
      break;
    case TSlotValue::Name:
      symbol.FName = text();
      break;
    case TSlotValue::TypeCode:
      symbol.FTypeCode = static_cast<char>(number());
      break;
    case TSlotValue::Size:
      symbol.FSize = static_cast<uint16_t>(number());
      break;
    case TSlotValue::Flags:
      symbol.FFlags = shape.CarriedFlags = static_cast<uint16_t>(number());
      break;
    case TSlotValue::Decimals:
      symbol.FDecimals = static_cast<uint8_t>(number());
      break;
    case TSlotValue::Constraint:
      symbol.FConstraint = text();
      break;
    case TSlotValue::GroupName:
      symbol.SetGroupName(text());
      break;
    case TSlotValue::GroupIndex: {
      const auto index = static_cast<int16_t>(number());
      if (linkGroups && index >= 0 && index < GroupCount()) {
        symbol.FGroup = FGroups[static_cast<std::size_t>(index)].get();
        symbol.FGroupName = symbol.FGroup->Name;
      }
      break;
    }
    case TSlotValue::Reference:
      symbol.FReference = FKeepStoredForm ? text() : CompleteName(text(), Name());
      break;
    case TSlotValue::DisplayWidth:
      symbol.FDisplayWidth = static_cast<uint16_t>(number());
      break;
    case TSlotValue::Text:
      symbol.FTexts[static_cast<std::size_t>(slot.Index - 1)] = text();
      break;
    case TSlotValue::Byte:
      symbol.FBytes[static_cast<std::size_t>(slot.Index - 1)] = static_cast<uint8_t>(number());
      break;
    case TSlotValue::NestedMarker:
      if (number() != 0) ReadNested(stream, symbol);
      break;
  }
}

void TquvCustomSymbolDefs::ReadNested(TquvStream& stream, TquvSymbolDef& symbol) {
  auto nested = std::make_unique<TquvSymbolDefs>();
  nested->FNestingDepth = FNestingDepth + 1;
  nested->FKeepStoredForm = FKeepStoredForm;
  nested->ReadFromStream(stream, true, 2, false);
  symbol.FNested = std::move(nested);
}

// ---- Writing ----

void TquvCustomSymbolDefs::WriteToStream(TStream& stream, uint8_t form, int32_t level,
                                         bool withGroups) const {
  if (!FPrepared) {
    WriteForm(stream, form, level, withGroups);
    return;
  }
  std::lock_guard<std::mutex> guard(FWrittenLock);
  auto written = std::find_if(FWrittenForms.begin(), FWrittenForms.end(), [&](const auto& kept) {
    return kept.Form == form && kept.Level == level && kept.WithGroups == withGroups;
  });
  if (written == FWrittenForms.end()) {
    TMemoryStream bytes;
    WriteForm(bytes, form, level, withGroups);
    FWrittenForms.push_back({form, level, withGroups, bytes.Bytes()});
    written = std::prev(FWrittenForms.end());
  }
  stream.WriteBuffer(written->Bytes.data(), static_cast<int32_t>(written->Bytes.size()));
}

void TquvCustomSymbolDefs::WriteForm(TStream& stream, uint8_t form, int32_t level,
                                     bool withGroups) const {
  TquvStream writer(&stream, false);
  WriteUnsigned(writer, form, 1);
  writer.WriteString(Name());
  writer.WriteString(QualifiedName());
  WriteUnsigned(writer, Revision(), 2);
  WriteUnsigned(writer, FFormatVersion, 2);
  WriteUnsigned(writer, Kind(), 1);
  if (withGroups) {
    writer.WriteInteger(GroupCount());
    for (const auto& group : FGroups) WriteGroupRecord(writer, *group, FFormatVersion);
  }
  writer.WriteInteger(Count());
  for (const auto& symbol : FSymbols) WriteSymbolRecord(writer, *symbol, form, level);
}

void TquvCustomSymbolDefs::WriteGroupRecord(TquvStream& stream, const TquvGroupDef& group,
                                            uint16_t version) {
  WriteText(stream, group.Name, ShortWidth(version));
  WriteUnsigned(stream, static_cast<uint16_t>(group.Number), 2);
  if (version >= 13) {
    WriteUnsigned(stream, group.ByteA, 1);
    WriteUnsigned(stream, group.ByteB, 1);
  }
  if (version >= 25) {
    WriteUnsigned(stream, group.ByteC, 1);
    WriteText(stream, group.TextA, kShort);
    WriteText(stream, group.TextB, kMedium);
  }
}

void TquvCustomSymbolDefs::WriteSymbolRecord(TquvStream& stream, const TquvSymbolDef& symbol,
                                             uint8_t form, int32_t level) const {
  TRecordShape shape{FFormatVersion, form, level};
  ForEachSlot([&](auto slot) { WriteSlot<slot>(stream, shape, symbol); });
}

template <std::size_t Slot>
void TquvCustomSymbolDefs::WriteSlot(TquvStream& stream, TRecordShape& shape,
                                     const TquvSymbolDef& symbol) const {
  constexpr TSymbolSlot slot = kSymbolLayout[Slot];
  if (!shape.Holds(slot)) return;
  const int32_t width = WidthOf(slot.Coding, shape.Version);
  const auto text = [&](std::string_view value) { WriteText(stream, value, width); };
  const auto number = [&](uint32_t value) { WriteUnsigned(stream, value, width); };
  switch (slot.Value) {
    case TSlotValue::LeadText:
      text(symbol.FLeadTexts[static_cast<std::size_t>(slot.Index - 1)]);
      break;
    case TSlotValue::Name:
      text(symbol.FName);
      break;
    case TSlotValue::TypeCode:
      number(static_cast<uint8_t>(symbol.FTypeCode));
      break;
    case TSlotValue::Size:
      number(symbol.FSize);
      break;
    case TSlotValue::Flags:
      // A reader sees only the bytes that fit; they decide what follows.
      shape.CarriedFlags = width == 1 ? symbol.FFlags & 0xFF : symbol.FFlags;
      number(shape.CarriedFlags);
      break;
    case TSlotValue::Decimals:
      number(symbol.FDecimals);
      break;
    case TSlotValue::Constraint:
      text(symbol.FConstraint);
      break;
    case TSlotValue::GroupName:
      text(symbol.FGroupName);
      break;
    case TSlotValue::GroupIndex:
      number(static_cast<uint16_t>(GroupIndexOf(FindGroup(symbol.FGroupName))));
      break;
    case TSlotValue::Reference:
      text(FKeepStoredForm ? symbol.FReference : ShortenName(symbol.FReference, Name()));
      break;
    case TSlotValue::DisplayWidth:
      number(symbol.FDisplayWidth);
      break;
    case TSlotValue::Text:
      text(symbol.FTexts[static_cast<std::size_t>(slot.Index - 1)]);
      break;
    case TSlotValue::Byte:
      number(symbol.FBytes[static_cast<std::size_t>(slot.Index - 1)]);
      break;
    case TSlotValue::NestedMarker: {
      const TquvSymbolDefs* nested = symbol.NestedIfMade();
      number(nested != nullptr ? 1 : 0);
      if (nested != nullptr) nested->WriteToStream(stream, shape.Form, 2, false);
      break;
    }
  }
}

}  // namespace quv
