#include "tools/quvintf/IntfDump.h"

#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "tools/quvintf/IntfSchema.h"

namespace quv::intftool {

namespace {

using nlohmann::ordered_json;

template <class T>
void PutProperties(ordered_json& out, const TSchema<T>& schema, const T& source) {
  for (const auto& p : schema.Ints) {
    const int64_t value = p.Get(source);
    if (value != p.Default) out[p.Key] = value;
  }
  for (const auto& p : schema.Texts) {
    const std::string text = p.Get(source);
    if (!text.empty()) out[p.Key] = Cp1252ToUtf8(text);
  }
}

ordered_json GroupsInFileOrder(const TDumpedInterface& intf) {
  ordered_json groups = ordered_json::array();
  int32_t next[2] = {0, 0};
  for (const uint8_t set : intf.GroupSets) {
    const TquvSymbolDefs& defs = set == 0 ? *intf.First : *intf.Second;
    ordered_json group;
    PutProperties(group, GroupSchema(), defs.Group(next[set]++));
    groups.push_back(std::move(group));
  }
  return groups;
}

// The "reference" of a field, the name that readers of the library
// `libraryName` complete from the stored text, and its "storedReference", that
// text when the writer would not store the name so; each present key with its
// value.
std::vector<std::pair<std::string, std::string>> ReferenceKeys(const TquvSymbolDef& symbol,
                                                               const std::string& libraryName) {
  const std::string& stored = symbol.Reference();
  const std::string reference = CompleteName(stored, libraryName);
  std::vector<std::pair<std::string, std::string>> keys;
  if (!reference.empty()) keys.emplace_back("reference", reference);
  if (ShortenName(reference, libraryName) != stored) keys.emplace_back("storedReference", stored);
  return keys;
}

ordered_json FieldsOf(const TquvSymbolDefs& set, const std::string& libraryName) {
  ordered_json fields = ordered_json::array();
  for (int32_t i = 0; i < set.Count(); ++i) {
    const TquvSymbolDef& symbol = set.Item(i);
    ordered_json field;
    field["name"] = Cp1252ToUtf8(symbol.Name());
    field["type"] = Cp1252ToUtf8(std::string(1, symbol.TypeCode()));
    if (symbol.Group() != nullptr) field["group"] = Cp1252ToUtf8(symbol.GroupName());
    PutProperties(field, FieldSchema(), symbol);
    for (const auto& [key, value] : ReferenceKeys(symbol, libraryName))
      field[key] = Cp1252ToUtf8(value);
    fields.push_back(std::move(field));
  }
  return fields;
}

// A text of the file as a line of the text dump shows it.
std::string Shown(const std::string& text) {
  return program::ShownText(Cp1252ToUtf8(text), std::string::npos);
}

template <class T>
void WriteProperties(std::ostream& out, const TSchema<T>& schema, const T& source) {
  for (const auto& p : schema.Ints) {
    const int64_t value = p.Get(source);
    if (value != p.Default) out << " " << p.Key << "=" << value;
  }
  for (const auto& p : schema.Texts) {
    const std::string text = p.Get(source);
    if (!text.empty()) out << " " << p.Key << "=\"" << Shown(text) << "\"";
  }
}

void WriteSet(std::ostream& out, const TquvSymbolDefs& set, const char* title,
              const std::string& libraryName) {
  out << "  " << title << ": " << set.Count() << " fields, " << set.GroupCount() << " groups\n";
  for (int32_t i = 0; i < set.GroupCount(); ++i) {
    out << "    group";
    WriteProperties(out, GroupSchema(), set.Group(i));
    out << "\n";
  }
  for (int32_t i = 0; i < set.Count(); ++i) {
    const TquvSymbolDef& symbol = set.Item(i);
    out << "    " << i << ": " << Shown(symbol.Name()) << " " << Shown({symbol.TypeCode()})
        << " offset=" << symbol.Offset();
    if (symbol.Group() != nullptr) out << " group=\"" << Shown(symbol.GroupName()) << "\"";
    WriteProperties(out, FieldSchema(), symbol);
    for (const auto& [key, value] : ReferenceKeys(symbol, libraryName))
      out << " " << key << "=\"" << Shown(value) << "\"";
    out << "\n";
  }
}

}  // namespace

std::unique_ptr<TquvSymbolDefs> MakeStoredFormSet() {
  auto set = std::make_unique<TquvSymbolDefs>();
  set->SetKeepStoredForm(true);
  return set;
}

TDumpedFile ReadInterfaceFile(const std::string& fileName, const std::string& bytes) {
  TDumpedFile file;
  file.Header = ParseFileHeader(bytes, fileName);
  TMemoryStream stream(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  std::set<std::string> names;
  for (const TIndexInfo& entry :
       ReadIntfIndex(stream, stream.Size(), file.Header.FileVersion, fileName)) {
    // The registry refuses such a file as a whole.
    if (!names.insert(AnsiUpperCase(entry.Name)).second)
      throw TquvInterfaceError("Interface duplicada " + entry.Name);
    TDumpedInterface intf;
    intf.Entry = entry;
    intf.Header = ParseInterfaceData(
        ReadInterfaceBytes(stream, entry.Offset, file.Header.FileVersion, fileName),
        file.Header.FileVersion, true, *intf.First, *intf.Second, &intf.GroupSets);
    file.Interfaces.push_back(std::move(intf));
  }
  return file;
}

ordered_json DumpAsJson(const TDumpedFile& file, const std::string& libraryName) {
  ordered_json root;
  root["library"] = Cp1252ToUtf8(libraryName);
  if (file.Header.Signature != kFileSignature)
    root["signature"] = Cp1252ToUtf8(file.Header.Signature);
  if (file.Header.Reserved != 0) root["reserved"] = file.Header.Reserved;
  root["interfaces"] = ordered_json::array();
  // Before group lists, the field records name the groups.
  const bool listGroups = file.Header.FileVersion >= kFirstGroupListVersion;
  for (const TDumpedInterface& intf : file.Interfaces) {
    ordered_json out;
    out["name"] = Cp1252ToUtf8(intf.Entry.Name);
    PutProperties(out, InterfaceSchema(), intf);
    if (listGroups && !intf.GroupSets.empty()) out["groups"] = GroupsInFileOrder(intf);
    if (intf.First->Count() > 0) out["fields"] = FieldsOf(*intf.First, libraryName);
    if (intf.Second->Count() > 0) out["fields2"] = FieldsOf(*intf.Second, libraryName);
    root["interfaces"].push_back(std::move(out));
  }
  return root;
}

std::string DumpAsText(const TDumpedFile& file, const std::string& fileName,
                       const std::string& libraryName) {
  std::ostringstream out;
  out << "file " << program::ShownText(fileName, std::string::npos) << "\n"
      << "signature \"" << Shown(file.Header.Signature) << "\" version " << file.Header.FileVersion
      << (file.Header.PlainFile ? " (plain file)" : "");
  if (file.Header.Reserved != 0) out << " reserved=" << file.Header.Reserved;
  out << "\n" << file.Interfaces.size() << " interfaces\n";
  for (const TDumpedInterface& intf : file.Interfaces) {
    out << "\ninterface " << Shown(intf.Entry.Name) << " offset=" << intf.Entry.Offset;
    WriteProperties(out, InterfaceSchema(), intf);
    out << "\n";
    WriteSet(out, *intf.First, "first set", libraryName);
    WriteSet(out, *intf.Second, "second set", libraryName);
  }
  return out.str();
}

}  // namespace quv::intftool
