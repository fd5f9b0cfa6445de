#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"
#include "platform/Streams.h"
#include "support/Hash.h"

namespace quv {

class TquvCustomSymbolDefs;
class TquvSymbolDefs;
class TquvStream;
// What decides which slots of the field record layout (quvIntf.cpp) a record
// holds.
struct TRecordShape;

// The exception class of definition sets and interface files.
class TquvInterfaceError : public Exception {
 public:
  using Exception::Exception;
};

// The format version that new definition sets have and that this system writes.
inline constexpr uint16_t kSymbolDefsFormatVersion = 37;

// Symbol flag bits.
inline constexpr uint16_t kSymbolRequired = 0x0010;   // not null
inline constexpr uint16_t kSymbolIncrement = 0x0400;  // set whenever TypeCode is '+'
inline constexpr uint16_t kSymbolHasText15 = 0x1000;  // the record carries Text 15

// One group of fields, owned by its set. The default group "Dados Gerais" is
// never a group: it is the empty group name.
struct TquvGroupDef {
  bool IsNew = false;
  std::string Name;
  int16_t Number = 0;
  uint8_t ByteA = 0;
  uint8_t ByteB = 0;
  uint8_t ByteC = 0;
  std::string TextA;
  std::string TextB;
};

// Bytes that a field's value takes in a record buffer, by type code: 4 or 8
// for N and + (integer or double), 2 for B, 8 for D, T, H and M, Size + 1 for
// A, I and R of fixed size (the text and its NUL), 0 for unbounded ones (their
// values live outside the buffer) and for unknown codes.
int32_t DataSizeOf(char typeCode, uint16_t size, uint8_t decimals);

// Completes a field's Reference as it is read: one leading '.' goes; a name
// with exactly one '.' left (module.interface) gets `setName` and a '.' in
// front. An empty reference stays empty.
std::string CompleteName(std::string_view reference, std::string_view setName);
// The writer's counterpart: drops a leading library that is neither quvsystem
// nor vantora from a name of more than one '.', then `setName` and its '.'
// from a name of at most two '.' that begins with it.
std::string ShortenName(std::string_view reference, std::string_view setName);

// Widths of a text's length in group, symbol and interface records: short,
// medium and long.
enum TTextWidth : int32_t { kShort = 1, kMedium = 2, kLong = 4 };

// Little-endian unsigned numbers of 1, 2 or 4 bytes in record layouts; a
// short stream raises the stream read error.
uint32_t ReadUnsigned(TquvStream& stream, int32_t width);
void WriteUnsigned(TquvStream& stream, uint32_t value, int32_t width);
uint8_t ReadByte(TquvStream& stream);
uint16_t ReadWord(TquvStream& stream);
// A text with a length of `width` bytes in front. The reader rejects a length
// above 102400 with "Bad string size.The quv file can be corrupt"; the writer
// cuts a text to what its length can say.
std::string ReadText(TquvStream& stream, int32_t width);
void WriteText(TquvStream& stream, std::string_view text, int32_t width);

// The descriptive texts of a field, by their number (Text(n); "textN" in
// interface descriptions). This system reads only the expression; it keeps
// the others for the programs that describe their fields with them.
enum TSymbolText : int {
  kTextCaption = 1,        // the label of the field in forms
  kTextDisplayFormat = 2,  // how a value is shown
  kTextEditMask = 3,       // how a value is typed
  kTextShortCaption = 4,   // the column heading where the caption is too long
  kTextDefaultValue = 5,   // the value of a new row
  kTextUnit = 6,           // the unit of a quantity
  kTextHint = 7,           // help shown beside the field
  kTextValueList = 8,      // the values the field takes, one a line
  kTextValueCaptions = 9,  // what each of those values shows
  kTextLookupSource = 10,  // the interface a value is looked up in
  kTextLookupField = 11,   // the field of that interface a lookup shows
  kTextExpression = 12,    // the calculation of a calculated field
  kTextComment = 13,       // a note of the developer
  kTextRuntimeNote = 14,   // kept in memory only: copied, never streamed
  kTextExtension = 15,     // further data, streamed when kSymbolHasText15 is set
};

// One field definition, owned by its set. Texts 1 to 15 and bytes 1 to 3 are
// descriptive data that every read, copy and write keeps.
class TquvSymbolDef final {
 public:
  TquvSymbolDef(TquvCustomSymbolDefs& owner, std::string name);
  ~TquvSymbolDef();

  TquvCustomSymbolDefs& Owner() const { return *FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(std::string name);
  char TypeCode() const { return FTypeCode; }
  void SetTypeCode(char typeCode);
  uint16_t Size() const { return FSize; }
  void SetSize(uint16_t size);
  uint8_t Decimals() const { return FDecimals; }
  void SetDecimals(uint8_t decimals);
  uint16_t Flags() const { return FFlags; }
  void SetFlags(uint16_t flags) { FFlags = flags; }
  int32_t Offset() const { return FOffset; }
  int32_t DataSize() const { return DataSizeOf(FTypeCode, FSize, FDecimals); }
  const std::string& Constraint() const { return FConstraint; }
  void SetConstraint(std::string constraint) { FConstraint = std::move(constraint); }
  const std::string& Reference() const { return FReference; }
  void SetReference(std::string reference) { FReference = std::move(reference); }
  const std::string& GroupName() const { return FGroupName; }
  // Looks the group up by name in the owner, creating it when missing, and
  // links it; "Dados Gerais" and "" mean no group.
  void SetGroupName(std::string_view groupName);
  TquvGroupDef* Group() const { return FGroup; }
  uint16_t DisplayWidth() const { return FDisplayWidth; }
  void SetDisplayWidth(uint16_t width) { FDisplayWidth = width; }
  uint8_t GroupNumber() const { return FGroupNumber; }
  void SetGroupNumber(uint8_t number) { FGroupNumber = number; }
  uint8_t OwnerKind() const { return FOwnerKind; }
  // Text n (1 to 15) and byte n (1 to 3).
  const std::string& Text(int n) const { return FTexts.at(n - 1); }
  void SetText(int n, std::string text) { FTexts.at(n - 1) = std::move(text); }
  uint8_t Byte(int n) const { return FBytes.at(n - 1); }
  void SetByte(int n, uint8_t value) { FBytes.at(n - 1) = value; }
  // The two texts (n = 1, 2) that open a record before version 3: nothing
  // reads them, but a record of those versions gives them back as it got them.
  const std::string& LeadText(int n) const { return FLeadTexts.at(n - 1); }
  void SetLeadText(int n, std::string text) { FLeadTexts.at(n - 1) = std::move(text); }

  // The definitions of a record field ('R'), made on first use: filled from
  // the interface that Reference names through the installed definition
  // source, or empty when Reference is empty. Raises TquvInterfaceError "This
  // field is not of RECORD TYPE" for other fields, and the source's error when
  // the lookup fails (nothing is kept then, so a later call asks again).
  TquvSymbolDefs& Nested();
  // The nested set made so far, or null.
  TquvSymbolDefs* NestedIfMade() const { return FNested.get(); }

 private:
  friend class TquvCustomSymbolDefs;

  // Copies every field of `source` but the owner; the group by name.
  void AssignFrom(const TquvSymbolDef& source);
  TquvSymbolDefs& MakeNested();

  TquvCustomSymbolDefs* FOwner;
  std::unique_ptr<TquvSymbolDefs> FNested;
  std::string FConstraint;
  std::string FName;
  std::string FReference;
  char FTypeCode = 0;
  uint16_t FSize = 0;
  uint16_t FFlags = 0;
  uint8_t FDecimals = 0;
  int32_t FOffset = 0;
  std::string FGroupName;
  uint16_t FDisplayWidth = 0;
  uint8_t FGroupNumber = 0;
  uint8_t FOwnerKind = 0;
  TquvGroupDef* FGroup = nullptr;
  std::array<std::string, 15> FTexts;
  std::array<uint8_t, 3> FBytes{};
  std::array<std::string, 2> FLeadTexts;
};

// A definition set: the fields of a record in order, grouped into named
// groups, with a name index and the record layout. Owns its symbols and
// groups. Not thread-safe.
class TquvCustomSymbolDefs {
 public:
  TquvCustomSymbolDefs();
  TquvCustomSymbolDefs(const TquvCustomSymbolDefs&) = delete;
  TquvCustomSymbolDefs& operator=(const TquvCustomSymbolDefs&) = delete;
  virtual ~TquvCustomSymbolDefs();

  virtual std::string QualifiedName() const { return FQualifiedName; }
  virtual std::string Name() const { return FName; }
  virtual uint16_t Revision() const { return FRevision; }
  virtual uint8_t Flag() const { return FFlag; }
  virtual std::string Text() const { return FText; }
  virtual uint8_t Kind() const { return FKind; }

  void SetName(std::string name) { FName = std::move(name); }
  void SetQualifiedName(std::string name) { FQualifiedName = std::move(name); }
  void SetRevision(uint16_t revision) { FRevision = revision; }
  void SetFlag(uint8_t flag) { FFlag = flag; }
  void SetText(std::string text) { FText = std::move(text); }
  void SetKind(uint8_t kind) { FKind = kind; }
  uint16_t FormatVersion() const { return FFormatVersion; }
  // 1 to 37 (others raise TquvInterfaceError); the layout WriteToStream uses.
  void SetFormatVersion(uint16_t version);
  bool Modified() const { return FModified; }
  void SetModified(bool modified) { FModified = modified; }
  // A set that keeps the stored form reads and writes its records as they
  // are: its QualifiedName and references are neither completed nor
  // shortened, and a version 3 "NOT NULL" constraint stays a constraint.
  // Off for a new set; tools that rewrite files byte for byte turn it on.
  bool KeepsStoredForm() const { return FKeepStoredForm; }
  void SetKeepStoredForm(bool keep) { FKeepStoredForm = keep; }

  int32_t Count() const { return static_cast<int32_t>(FSymbols.size()); }
  // Raises TquvInterfaceError for a position outside 0 .. Count - 1.
  const TquvSymbolDef& Item(int32_t index) const;
  TquvSymbolDef& Item(int32_t index);
  const TquvSymbolDef& operator[](int32_t index) const { return Item(index); }
  TquvSymbolDef& operator[](int32_t index) { return Item(index); }
  // Position of the field named `name` without regard to ASCII case, or -1.
  // Builds the name index on first use unless PrepareForSharing built it.
  int32_t IndexOf(std::string_view name) const;
  TquvSymbolDef& AddSymbol(std::string name);

  int32_t GroupCount() const { return static_cast<int32_t>(FGroups.size()); }
  TquvGroupDef& Group(int32_t index) const;
  TquvGroupDef& AddGroup(TquvGroupDef group);
  // The group of that name (without regard to ASCII case), or null.
  TquvGroupDef* FindGroup(std::string_view name) const;
  int32_t GroupIndexOf(const TquvGroupDef* group) const;

  // Destroys every symbol and group; sets Modified.
  void Clear();
  // Makes this set a copy of `source` (see the class notes of each field).
  void Assign(const TquvCustomSymbolDefs& source);
  void RecomputeOffsets();
  // Computes the offsets and the name index, so that the set can then be read
  // from several threads at once as long as nobody changes it; from then on
  // WriteToStream keeps the bytes of each form it writes. Clear undoes it.
  void PrepareForSharing();
  // Total data size of all fields (the record buffer's size).
  int32_t RecordSize() const;

  // Reads the stream form. Without `force`, a header naming this set with the
  // same Revision and Kind leaves a set that has symbols as it is, and the
  // rest of the stream unread. On failure this set is unchanged; the errors
  // are TquvInterfaceError "Bad string size.The quv file can be corrupt" and
  // "Invalid symboldef stream", or the stream read error.
  void ReadFromStream(TStream& stream, bool force, int32_t level, bool withGroups);
  // Writes the stream form in this set's FormatVersion; `form` 0 is the full
  // record, 1 the short one.
  void WriteToStream(TStream& stream, uint8_t form, int32_t level, bool withGroups) const;

  // Record readers and writers for containers that carry groups and fields
  // without the set header (interface files), in the layout of `version`.
  static TquvGroupDef ReadGroupRecord(TquvStream& stream, uint16_t version);
  static void WriteGroupRecord(TquvStream& stream, const TquvGroupDef& group, uint16_t version);
  // Appends `count` symbols read in `form` and this set's FormatVersion;
  // group indexes link to this set's groups when `linkGroups`.
  void ReadSymbolRecords(TquvStream& stream, int32_t count, uint8_t form, int32_t level,
                         bool linkGroups);
  void WriteSymbolRecord(TquvStream& stream, const TquvSymbolDef& symbol, uint8_t form,
                         int32_t level) const;

 private:
  friend class TquvSymbolDef;

  struct THeader;
  // The bytes of one stream form of a set prepared for sharing.
  struct TWrittenForm {
    uint8_t Form;
    int32_t Level;
    bool WithGroups;
    std::vector<uint8_t> Bytes;
  };

  void WriteForm(TStream& stream, uint8_t form, int32_t level, bool withGroups) const;
  THeader ReadHeader(TquvStream& stream);
  void ReadSymbolRecord(TquvStream& stream, TquvSymbolDef& symbol, uint8_t form, int32_t level,
                        bool linkGroups);
  // Read or write the slot at position `Slot` of the field record layout when
  // the record holds it.
  template <std::size_t Slot>
  void ReadSlot(TquvStream& stream, TRecordShape& shape, TquvSymbolDef& symbol, bool linkGroups);
  template <std::size_t Slot>
  void WriteSlot(TquvStream& stream, TRecordShape& shape, const TquvSymbolDef& symbol) const;
  void ReadNested(TquvStream& stream, TquvSymbolDef& symbol);
  // Takes the groups and symbols of `source`, which is left empty.
  void TakeContents(TquvCustomSymbolDefs& source);
  // A change ends what PrepareForSharing kept.
  void ForgetPrepared();
  void BuildNameIndex() const;
  void IndexAll(int32_t capacity) const;
  // Enters the symbol at `position` unless its name is present already.
  void IndexName(int32_t position) const;
  void DropNameIndex() { FNameIndex.reset(); }

  std::vector<std::unique_ptr<TquvGroupDef>> FGroups;
  std::vector<std::unique_ptr<TquvSymbolDef>> FSymbols;
  mutable std::unique_ptr<THashList> FNameIndex;
  bool FPrepared = false;
  mutable std::mutex FWrittenLock;
  mutable std::vector<TWrittenForm> FWrittenForms;  // guarded by FWrittenLock
  std::string FName;
  std::string FQualifiedName;
  uint8_t FKind = 2;
  uint16_t FRevision = 0;
  uint8_t FFlag = 0;
  bool FModified = true;
  std::string FText;
  uint16_t FFormatVersion = kSymbolDefsFormatVersion;
  bool FKeepStoredForm = false;
  int32_t FNestingDepth = 0;  // of the set being read, to bound recursion
};

// The definition set that recordsets create.
class TquvSymbolDefs final : public TquvCustomSymbolDefs {};

// What a definition set of an interface answers for: the interface registry's
// interface implements it.
class IquvInterfaceIdentity {
 public:
  virtual ~IquvInterfaceIdentity() = default;
  virtual std::string QualifiedName() const = 0;
  virtual std::string Name() const = 0;
  virtual uint16_t Revision() const = 0;
  virtual uint8_t Flag() const = 0;
  virtual std::string Text() const = 0;
};

// A definition set of an interface, which answers its names, Revision, Flag
// and Text from it. `interface` must outlive the set.
class TquvInterfaceSymbolDefs final : public TquvCustomSymbolDefs {
 public:
  explicit TquvInterfaceSymbolDefs(const IquvInterfaceIdentity& interface)
      : FInterface(&interface) {}

  std::string QualifiedName() const override { return FInterface->QualifiedName(); }
  std::string Name() const override { return FInterface->Name(); }
  uint16_t Revision() const override { return FInterface->Revision(); }
  uint8_t Flag() const override { return FInterface->Flag(); }
  std::string Text() const override { return FInterface->Text(); }

  const IquvInterfaceIdentity& Interface() const { return *FInterface; }

 private:
  const IquvInterfaceIdentity* FInterface;
};

// Where the definitions named by a record field's Reference come from: the
// interface registry installs one at start-up. Must be thread-safe.
class IquvDefinitionSource {
 public:
  virtual ~IquvDefinitionSource() = default;
  // Fills `defs` with the definitions of the interface named `name` (dotted),
  // or raises TquvInterfaceError.
  virtual void FillDefinitions(std::string_view name, TquvSymbolDefs& defs) = 0;
};

// Installs the source (null removes it); the caller keeps it alive while it is
// installed. Without one, every lookup fails with "Interface não encontrada:"
// and the upper-cased name.
void SetDefinitionSource(IquvDefinitionSource* source);

}  // namespace quv
