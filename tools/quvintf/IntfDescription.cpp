#include "tools/quvintf/IntfDescription.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/Cp1252.h"
#include "server/common/quvIntfFile.h"
#include "server/common/quvstream.h"
#include "tools/common/JsonSource.h"
#include "tools/quvintf/IntfDump.h"
#include "tools/quvintf/IntfSchema.h"

namespace quv::intftool {

namespace {

using nlohmann::json;

// Reads one description, reporting every fault with its file and line.
class TDescriptionReader final {
 public:
  TDescriptionReader(const std::string& fileName, const std::string& text)
      : FSource(fileName, text) {}

  const json& Root() const { return FSource.Root(); }

  [[noreturn]] void Fail(const std::string& pointer, const std::string& what) const {
    FSource.Fail(pointer, what);
  }

  const json& Object(const json& value, const std::string& pointer) const {
    if (!value.is_object()) Fail(pointer, "expected an object");
    return value;
  }

  const json& Array(const json& object, const std::string& pointer, const char* key) const {
    static const json empty = json::array();
    if (!object.contains(key)) return empty;
    const json& value = object[key];
    if (!value.is_array()) Fail(pointer + "/" + key, std::string("\"") + key + "\" must be a list");
    return value;
  }

  // The text at `key` in Windows-1252; "" when absent.
  std::string Text(const json& object, const std::string& pointer, const std::string& key) const {
    if (!object.contains(key)) return {};
    const json& value = object[key];
    const std::string at = pointer + "/" + key;
    if (!value.is_string()) Fail(at, "\"" + key + "\" must be a text");
    return FSource.Cp1252At(at, value.get<std::string>());
  }

  std::string RequiredText(const json& object, const std::string& pointer,
                           const std::string& key) const {
    if (!object.contains(key)) Fail(pointer, "\"" + key + "\" is missing");
    std::string text = Text(object, pointer, key);
    if (text.empty()) Fail(pointer + "/" + key, "\"" + key + "\" must not be empty");
    return text;
  }

  int64_t Number(const json& object, const std::string& pointer, const std::string& key,
                 int64_t min, int64_t max, int64_t absent) const {
    if (!object.contains(key)) return absent;
    const json& value = object[key];
    const std::string at = pointer + "/" + key;
    if (!value.is_number_integer()) Fail(at, "\"" + key + "\" must be a whole number");
    const bool huge = value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(INT64_MAX);
    const int64_t n = value.get<int64_t>();
    if (huge || n < min || n > max) {
      Fail(at, "\"" + key + "\" must lie between " + std::to_string(min) + " and " +
                   std::to_string(max));
    }
    return n;
  }

  void CheckKeys(const json& object, const std::string& pointer,
                 const std::vector<std::string>& allowed) const {
    for (const auto& [key, value] : object.items()) {
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
        Fail(pointer + "/" + key, "unknown key \"" + key + "\"");
    }
  }

  template <class T>
  void Apply(const json& object, const std::string& pointer, const TSchema<T>& schema,
             std::vector<std::string> specialKeys, T& target) const {
    for (const auto& p : schema.Ints) specialKeys.push_back(p.Key);
    for (const auto& p : schema.Texts) specialKeys.push_back(p.Key);
    CheckKeys(object, pointer, specialKeys);
    for (const auto& p : schema.Ints)
      if (object.contains(p.Key)) p.Set(target, Number(object, pointer, p.Key, p.Min, p.Max, 0));
    for (const auto& p : schema.Texts)
      if (object.contains(p.Key)) p.Set(target, Text(object, pointer, p.Key));
  }

 private:
  tooljson::TJsonSource FSource;
};

// Where each part of one interface stands in the description, so that a
// value the file cannot keep is reported at its line.
struct TInterfacePlaces {
  std::string At;                      // the interface
  std::vector<std::string> Groups[2];  // per set, in the set's order
  std::string Fields[2];               // "fields" and "fields2"
};

// What one file version keeps.
struct TVersion {
  int32_t File;
  bool ListsGroups() const { return File >= kFirstGroupListVersion; }
  bool HasV2Index() const { return File >= kFirstIndexV2Version; }
};

// The fault of a value that comes back from the written file as `readBack`.
std::string ReadsBackAs(const std::string& key, const std::string& readBack, TVersion version) {
  return "\"" + key + "\" reads back as " + readBack + " from a version " +
         std::to_string(version.File) + " file";
}

std::string Quoted(const std::string& text) { return "\"" + Cp1252ToUtf8(text) + "\""; }

// The reference text a field stores: its "storedReference", or else what the
// writer makes of its "reference" in the library `library`. Either must read
// back as the name "reference" gives.
std::string StoredReference(const TDescriptionReader& reader, const json& field,
                            const std::string& at, const std::string& library, TVersion version) {
  const std::string reference = reader.Text(field, at, "reference");
  const std::string stored = field.contains("storedReference")
                                 ? reader.Text(field, at, "storedReference")
                                 : ShortenName(reference, library);
  const std::string readBack = CompleteName(stored, library);
  // Names are compared as readers look them up, without regard to case; a
  // reference may be given in short or in full.
  const auto sameName = [](const std::string& a, const std::string& b) {
    return AnsiUpperCase(a) == AnsiUpperCase(b);
  };
  if (!sameName(readBack, reference) && !sameName(readBack, CompleteName(reference, library)))
    reader.Fail(at + "/reference", ReadsBackAs("reference", Quoted(readBack), version));
  return stored;
}

void ReadGroups(const TDescriptionReader& reader, const json& groups, const std::string& pointer,
                TDumpedInterface& intf, TInterfacePlaces& places) {
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::string at = pointer + "/" + std::to_string(i);
    TquvGroupDef group;
    reader.Apply(reader.Object(groups[i], at), at, GroupSchema(), {}, group);
    if (group.Name.empty()) reader.Fail(at, "a group needs a \"name\"");
    const int set = group.ByteB == 0 ? 0 : 1;
    TquvSymbolDefs& defs = set == 0 ? *intf.First : *intf.Second;
    if (defs.FindGroup(group.Name) != nullptr)
      reader.Fail(at, "group \"" + Cp1252ToUtf8(group.Name) + "\" twice");
    defs.AddGroup(std::move(group));
    intf.GroupSets.push_back(static_cast<uint8_t>(set));
    places.Groups[set].push_back(at);
  }
}

void ReadFields(const TDescriptionReader& reader, const json& fields, const std::string& pointer,
                TVersion version, const std::string& library, TquvSymbolDefs& set) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string at = pointer + "/" + std::to_string(i);
    const json& field = reader.Object(fields[i], at);
    TquvSymbolDef& symbol = set.AddSymbol(reader.RequiredText(field, at, "name"));
    const std::string type = reader.RequiredText(field, at, "type");
    if (type.size() != 1 || kTypeCodes.find(type[0]) == std::string_view::npos) {
      reader.Fail(at + "/type", "\"type\" must be one of " + std::string(kTypeCodes));
    }
    symbol.SetTypeCode(type[0]);
    reader.Apply(field, at, FieldSchema(),
                 {"name", "type", "group", "reference", "storedReference"}, symbol);
    symbol.SetReference(StoredReference(reader, field, at, library, version));
    if (symbol.TypeCode() == '+') symbol.SetFlags(symbol.Flags() | kSymbolIncrement);
    if (!symbol.Text(15).empty() && (symbol.Flags() & kSymbolHasText15) == 0)
      reader.Fail(at + "/text15", "\"text15\" is kept only with flag 0x1000 (4096) set");
    const std::string group = reader.Text(field, at, "group");
    if (group.empty()) continue;
    // Before group lists, naming a group makes it.
    if (version.ListsGroups() && set.FindGroup(group) == nullptr) {
      reader.Fail(at + "/group",
                  "\"" + Cp1252ToUtf8(group) + "\" is not a group of this field's set");
    }
    symbol.SetGroupName(group);
  }
}

void CheckIndexEntry(const TDescriptionReader& reader, const TIndexInfo& entry,
                     const std::string& at, TVersion version) {
  const std::size_t dot = entry.Name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == entry.Name.size())
    reader.Fail(at + "/name", "\"name\" must be module.interface");
  const int32_t nameMax = version.HasV2Index() ? kIndexV2NameMax : kIndexV1NameMax;
  if (entry.Name.size() > static_cast<std::size_t>(nameMax))
    reader.Fail(at + "/name", "\"name\" is longer than " + std::to_string(nameMax) +
                                  " bytes, the most a version " + std::to_string(version.File) +
                                  " index keeps");
  if (!entry.ExtraText.empty() && !version.HasV2Index())
    reader.Fail(at + "/extraText", "\"extraText\" is kept only from version 36 on");
  if (entry.ExtraText.size() >= static_cast<std::size_t>(kExtraTextSlotSize))
    reader.Fail(at + "/extraText", "\"extraText\" is longer than 255 bytes");
}

TDumpedInterface ReadInterface(const TDescriptionReader& reader, const json& value,
                               TVersion version, const std::string& library,
                               TInterfacePlaces& places) {
  const std::string& at = places.At;
  const json& object = reader.Object(value, at);
  TDumpedInterface intf;
  const uint16_t recordVersion = RecordVersionOf(version.File);
  intf.First->SetFormatVersion(recordVersion);
  intf.Second->SetFormatVersion(recordVersion);
  // Files before version 7 have no Byte1 and read it as 1.
  if (version.File < 7) intf.Header.Byte1 = 1;
  reader.Apply(object, at, InterfaceSchema(), {"name", "groups", "fields", "fields2"}, intf);
  intf.Entry.Name = reader.RequiredText(object, at, "name");
  CheckIndexEntry(reader, intf.Entry, at, version);
  const std::size_t dot = intf.Entry.Name.rfind('.');
  intf.Header.ModuleName = intf.Entry.Name.substr(0, dot);
  intf.Header.InterfaceName = intf.Entry.Name.substr(dot + 1);
  intf.Header.Name = intf.Entry.Name;
  if (object.contains("groups") && !version.ListsGroups()) {
    reader.Fail(at + "/groups", "a version " + std::to_string(version.File) +
                                    " file has no group list: a field's \"group\" names it");
  }
  ReadGroups(reader, reader.Array(object, at, "groups"), at + "/groups", intf, places);
  places.Fields[0] = at + "/fields";
  places.Fields[1] = at + "/fields2";
  ReadFields(reader, reader.Array(object, at, "fields"), places.Fields[0], version, library,
             *intf.First);
  ReadFields(reader, reader.Array(object, at, "fields2"), places.Fields[1], version, library,
             *intf.Second);
  return intf;
}

// Compares what was described with what the written file gives back, so that
// nothing a version cannot keep is dropped or cut without a word.
class TReadBackCheck final {
 public:
  TReadBackCheck(const TDescriptionReader& reader, TVersion version, std::string library)
      : FReader(reader), FVersion(version), FLibrary(std::move(library)) {}

  void Interface(const TDumpedInterface& given, const TDumpedInterface& back,
                 const TInterfacePlaces& places) const {
    Properties(InterfaceSchema(), given, back, places.At);
    const TquvSymbolDefs* givenSets[2] = {given.First.get(), given.Second.get()};
    const TquvSymbolDefs* backSets[2] = {back.First.get(), back.Second.get()};
    for (int set = 0; set < 2; ++set) {
      if (FVersion.ListsGroups())
        Groups(*givenSets[set], *backSets[set], places.Groups[set], places.At);
      Fields(*givenSets[set], *backSets[set], places.Fields[set]);
    }
  }

 private:
  template <class T>
  void Properties(const TSchema<T>& schema, const T& given, const T& back,
                  const std::string& at) const {
    for (const auto& p : schema.Ints)
      if (p.Get(given) != p.Get(back)) Lost(at, p.Key, std::to_string(p.Get(back)));
    for (const auto& p : schema.Texts)
      if (p.Get(given) != p.Get(back)) Lost(at, p.Key, Quoted(p.Get(back)));
  }

  void Groups(const TquvSymbolDefs& given, const TquvSymbolDefs& back,
              const std::vector<std::string>& places, const std::string& at) const {
    if (given.GroupCount() != back.GroupCount()) {
      FReader.Fail(at + "/groups", "a version " + std::to_string(FVersion.File) +
                                       " file keeps no group of the second set (byteB)");
    }
    for (int32_t i = 0; i < given.GroupCount(); ++i)
      Properties(GroupSchema(), given.Group(i), back.Group(i), places[std::size_t(i)]);
  }

  void Fields(const TquvSymbolDefs& given, const TquvSymbolDefs& back,
              const std::string& pointer) const {
    for (int32_t i = 0; i < given.Count(); ++i) {
      const std::string at = pointer + "/" + std::to_string(i);
      const TquvSymbolDef& field = given.Item(i);
      const TquvSymbolDef& read = back.Item(i);
      if (field.Name() != read.Name()) Lost(at, "name", Quoted(read.Name()));
      if (field.GroupName() != read.GroupName()) Lost(at, "group", Quoted(read.GroupName()));
      if (field.Reference() != read.Reference())
        Lost(at, "reference", Quoted(CompleteName(read.Reference(), FLibrary)));
      Properties(FieldSchema(), field, read, at);
    }
  }

  [[noreturn]] void Lost(const std::string& at, const std::string& key,
                         const std::string& readBack) const {
    FReader.Fail(at + "/" + key, ReadsBackAs(key, readBack, FVersion));
  }

  const TDescriptionReader& FReader;
  TVersion FVersion;
  std::string FLibrary;
};

TFileHeaderInfo ReadFileHeader(const TDescriptionReader& reader, const json& root) {
  const std::string signature =
      root.contains("signature") ? reader.Text(root, "", "signature") : std::string(kFileSignature);
  if (signature.size() != 6) reader.Fail("/signature", "\"signature\" must have 6 characters");
  const uint16_t reserved = static_cast<uint16_t>(reader.Number(root, "", "reserved", 0, 65535, 0));
  TFileHeaderInfo header = ParseFileHeader(MakeFileHeader(signature, reserved), "");
  if (header.FileVersion > kInterfaceFileVersion) {
    reader.Fail("/signature", "\"signature\" names version " + std::to_string(header.FileVersion) +
                                  "; the newest is " + std::to_string(kInterfaceFileVersion));
  }
  return header;
}

}  // namespace

std::string BuildInterfaceFile(const std::string& fileName, const std::string& text,
                               const std::string& libraryName) {
  const TDescriptionReader reader(fileName, text);
  const json& root = reader.Object(reader.Root(), "");
  reader.CheckKeys(root, "", {"library", "signature", "reserved", "interfaces"});
  const std::string named = reader.Text(root, "", "library");
  if (!named.empty() && AnsiUpperCase(named) != AnsiUpperCase(libraryName)) {
    reader.Fail("/library", "\"library\" is \"" + Cp1252ToUtf8(named) +
                                "\" but the output file is for \"" + Cp1252ToUtf8(libraryName) +
                                "\"");
  }
  // References are completed with the name as the description spells it.
  const std::string library = named.empty() ? libraryName : named;
  const TFileHeaderInfo header = ReadFileHeader(reader, root);
  const TVersion version{header.FileVersion};
  const json& interfaces = reader.Array(root, "", "interfaces");
  TquvStream out;
  out.WriteRawString(MakeFileHeader(header.Signature, header.Reserved));
  std::vector<TDumpedInterface> given;
  std::vector<TInterfacePlaces> places(interfaces.size());
  std::vector<TIndexInfo> entries;
  std::set<std::string> names;
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    places[i].At = "/interfaces/" + std::to_string(i);
    TDumpedInterface intf = ReadInterface(reader, interfaces[i], version, library, places[i]);
    if (!names.insert(AnsiUpperCase(intf.Entry.Name)).second)
      reader.Fail(places[i].At + "/name",
                  "interface \"" + Cp1252ToUtf8(intf.Entry.Name) + "\" twice");
    intf.Entry.Offset = static_cast<uint32_t>(out.Position());
    WriteInterfaceBytes(
        out,
        BuildInterfaceData(intf.Header, *intf.First, *intf.Second, version.File, intf.GroupSets),
        version.File);
    entries.push_back(intf.Entry);
    given.push_back(std::move(intf));
  }
  WriteIntfIndex(out, entries, version.File);
  const auto& written = static_cast<TMemoryStream&>(out.Stream()).Bytes();
  std::string bytes(written.begin(), written.end());
  const TDumpedFile back = ReadInterfaceFile(fileName, bytes);
  const TReadBackCheck check(reader, version, library);
  for (std::size_t i = 0; i < given.size(); ++i)
    check.Interface(given[i], back.Interfaces[i], places[i]);
  return bytes;
}

}  // namespace quv::intftool
