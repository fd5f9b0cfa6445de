#include "tools/quvintf/IntfDump.h"

#include <set>
#include <sstream>

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

ordered_json GroupsOf(const TquvSymbolDefs& set) {
  ordered_json groups = ordered_json::array();
  for (int32_t i = 0; i < set.GroupCount(); ++i) {
    ordered_json group;
    PutProperties(group, GroupSchema(), set.Group(i));
    groups.push_back(std::move(group));
  }
  return groups;
}

ordered_json FieldsOf(const TquvSymbolDefs& set) {
  ordered_json fields = ordered_json::array();
  for (int32_t i = 0; i < set.Count(); ++i) {
    const TquvSymbolDef& symbol = set.Item(i);
    ordered_json field;
    field["name"] = Cp1252ToUtf8(symbol.Name());
    field["type"] = Cp1252ToUtf8(std::string(1, symbol.TypeCode()));
    if (symbol.Group() != nullptr) field["group"] = Cp1252ToUtf8(symbol.GroupName());
    PutProperties(field, FieldSchema(), symbol);
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

void WriteSet(std::ostream& out, const TquvSymbolDefs& set, const char* title) {
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
    out << "\n";
  }
}

}  // namespace

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
        file.Header.FileVersion, true, *intf.First, *intf.Second);
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
    if (listGroups && intf.First->GroupCount() + intf.Second->GroupCount() > 0) {
      ordered_json groups = GroupsOf(*intf.First);
      for (auto& group : GroupsOf(*intf.Second)) groups.push_back(std::move(group));
      out["groups"] = std::move(groups);
    }
    if (intf.First->Count() > 0) out["fields"] = FieldsOf(*intf.First);
    if (intf.Second->Count() > 0) out["fields2"] = FieldsOf(*intf.Second);
    root["interfaces"].push_back(std::move(out));
  }
  return root;
}

std::string DumpAsText(const TDumpedFile& file, const std::string& fileName) {
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
    WriteSet(out, *intf.First, "first set");
    WriteSet(out, *intf.Second, "second set");
  }
  return out.str();
}

}  // namespace quv::intftool
