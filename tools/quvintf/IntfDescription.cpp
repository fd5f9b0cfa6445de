#include "tools/quvintf/IntfDescription.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/Cp1252.h"
#include "server/common/quvIntfFile.h"
#include "server/common/quvstream.h"
#include "tools/common/JsonSource.h"
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

  std::string Text(const json& object, const std::string& pointer, const std::string& key) const {
    if (!object.contains(key)) return {};
    const json& value = object[key];
    if (!value.is_string()) Fail(pointer + "/" + key, "\"" + key + "\" must be a text");
    return Utf8ToCp1252(value.get<std::string>());
  }

  std::string RequiredText(const json& object, const std::string& pointer,
                           const std::string& key) const {
    if (!object.contains(key)) Fail(pointer, "\"" + key + "\" is missing");
    std::string text = Text(object, pointer, key);
    if (text.empty()) Fail(pointer + "/" + key, "\"" + key + "\" must not be empty");
    return text;
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
    for (const auto& p : schema.Ints) {
      if (!object.contains(p.Key)) continue;
      const json& value = object[p.Key];
      const std::string at = pointer + "/" + p.Key;
      if (!value.is_number_integer()) Fail(at, "\"" + p.Key + "\" must be a whole number");
      const int64_t n = value.get<int64_t>();
      if (n < p.Min || n > p.Max) {
        Fail(at, "\"" + p.Key + "\" must lie between " + std::to_string(p.Min) + " and " +
                     std::to_string(p.Max));
      }
      p.Set(target, n);
    }
    for (const auto& p : schema.Texts)
      if (object.contains(p.Key)) p.Set(target, Text(object, pointer, p.Key));
  }

 private:
  tooljson::TJsonSource FSource;
};

void ReadGroups(const TDescriptionReader& reader, const json& groups, const std::string& pointer,
                TquvSymbolDefs& first, TquvSymbolDefs& second) {
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::string at = pointer + "/" + std::to_string(i);
    TquvGroupDef group;
    reader.Apply(reader.Object(groups[i], at), at, GroupSchema(), {}, group);
    if (group.Name.empty()) reader.Fail(at, "a group needs a \"name\"");
    TquvSymbolDefs& set = group.ByteB == 0 ? first : second;
    if (set.FindGroup(group.Name) != nullptr) reader.Fail(at, "group \"" + group.Name + "\" twice");
    set.AddGroup(std::move(group));
  }
}

void ReadFields(const TDescriptionReader& reader, const json& fields, const std::string& pointer,
                TquvSymbolDefs& set) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string at = pointer + "/" + std::to_string(i);
    const json& field = reader.Object(fields[i], at);
    TquvSymbolDef& symbol = set.AddSymbol(reader.RequiredText(field, at, "name"));
    const std::string type = reader.RequiredText(field, at, "type");
    if (type.size() != 1 || kTypeCodes.find(type[0]) == std::string_view::npos) {
      reader.Fail(at + "/type", "\"type\" must be one of " + std::string(kTypeCodes));
    }
    symbol.SetTypeCode(type[0]);
    reader.Apply(field, at, FieldSchema(), {"name", "type", "group"}, symbol);
    if (!symbol.Text(15).empty() && (symbol.Flags() & kSymbolHasText15) == 0)
      reader.Fail(at + "/text15", "\"text15\" is kept only with flag 0x1000 (4096) set");
    const std::string group = reader.Text(field, at, "group");
    if (!group.empty()) {
      if (set.FindGroup(group) == nullptr)
        reader.Fail(at + "/group", "\"" + group + "\" is not a group of this field's set");
      symbol.SetGroupName(group);
    }
  }
}

TDumpedInterface ReadInterface(const TDescriptionReader& reader, const json& value,
                               const std::string& at) {
  const json& object = reader.Object(value, at);
  TDumpedInterface intf;
  reader.Apply(object, at, InterfaceSchema(), {"name", "groups", "fields", "fields2"}, intf);
  intf.Entry.Name = reader.RequiredText(object, at, "name");
  const std::size_t dot = intf.Entry.Name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == intf.Entry.Name.size())
    reader.Fail(at + "/name", "\"name\" must be module.interface");
  if (intf.Entry.Name.size() > static_cast<std::size_t>(kIndexV2NameMax))
    reader.Fail(at + "/name", "\"name\" is longer than 127 bytes");
  if (intf.Entry.ExtraText.size() >= static_cast<std::size_t>(kExtraTextSlotSize))
    reader.Fail(at + "/extraText", "\"extraText\" is longer than 255 bytes");
  intf.Header.ModuleName = intf.Entry.Name.substr(0, dot);
  intf.Header.InterfaceName = intf.Entry.Name.substr(dot + 1);
  intf.Header.Name = intf.Entry.Name;
  ReadGroups(reader, reader.Array(object, at, "groups"), at + "/groups", *intf.First, *intf.Second);
  ReadFields(reader, reader.Array(object, at, "fields"), at + "/fields", *intf.First);
  ReadFields(reader, reader.Array(object, at, "fields2"), at + "/fields2", *intf.Second);
  return intf;
}

}  // namespace

std::string BuildInterfaceFile(const std::string& fileName, const std::string& text,
                               const std::string& libraryName) {
  const TDescriptionReader reader(fileName, text);
  const json& root = reader.Object(reader.Root(), "");
  reader.CheckKeys(root, "", {"library", "interfaces"});
  const std::string library = reader.Text(root, "", "library");
  if (!library.empty() && AnsiUpperCase(library) != AnsiUpperCase(libraryName)) {
    reader.Fail("/library", "\"library\" is \"" + library + "\" but the output file is for \"" +
                                libraryName + "\"");
  }
  const json& interfaces = reader.Array(root, "", "interfaces");
  TquvStream out;
  out.WriteRawString(MakeFileHeader());
  std::vector<TIndexInfo> entries;
  std::set<std::string> names;
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const std::string at = "/interfaces/" + std::to_string(i);
    TDumpedInterface intf = ReadInterface(reader, interfaces[i], at);
    if (!names.insert(AnsiUpperCase(intf.Entry.Name)).second)
      reader.Fail(at + "/name", "interface \"" + intf.Entry.Name + "\" twice");
    intf.Entry.Offset = static_cast<uint32_t>(out.Position());
    WriteCompressedBlocks(out, BuildInterfaceData(intf.Header, *intf.First, *intf.Second));
    entries.push_back(intf.Entry);
  }
  WriteIntfIndex(out, entries, kInterfaceFileVersion);
  const auto& bytes = static_cast<TMemoryStream&>(out.Stream()).Bytes();
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace quv::intftool
