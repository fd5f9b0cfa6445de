#include "tools/quvrecordset/RecordsetBuild.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/ExePath.h"
#include "server/common/quvIntfRegistry.h"
#include "server/common/quvRecordset.h"
#include "tools/common/Base64.h"
#include "tools/common/DateText.h"
#include "tools/common/ToolFiles.h"
#include "tools/common/ToolMain.h"

namespace quv::rstool {

namespace {

using nlohmann::json;
using tooljson::TJsonSource;

constexpr double kCurrencyScale = 10000.0;
// Currency values are 64-bit integers scaled by 10000.
constexpr double kCurrencyLimit = 9.2e14;

// What went wrong with one value, for the caller to place.
struct TValueFault {
  std::string What;
};

const char* Expected(char typeCode, uint8_t decimals) {
  switch (typeCode) {
    case 'A':
      return "a text";
    case 'I':
    case 'R':
      return "a base64 text";
    case 'N':
    case '+':
      return decimals == 0 ? "a whole number from -2147483648 to 2147483647" : "a number";
    case 'B':
      return "true or false";
    case 'M':
      return "a number below 9.2e14 in size";
    case 'D':
      return "a date (YYYY-MM-DD) or a number of days";
    case 'T':
      return "a time (HH:MM:SS or HH:MM:SS.mmm) or a fraction of a day";
    case 'H':
      return "a date-time (YYYY-MM-DDTHH:MM:SS[.mmm]) or a number of days";
    default:
      return "nothing: the field's type is unknown";
  }
}

std::optional<TVariant> NumberValue(const TquvSymbolDef& field, const json& value) {
  if (field.Decimals() != 0) {
    if (!value.is_number()) return std::nullopt;
    return TVariant(value.get<double>());
  }
  if (!value.is_number_integer()) return std::nullopt;
  const int64_t n = value.get<int64_t>();
  if (value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(INT64_MAX))
    return std::nullopt;
  if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return TVariant(static_cast<int32_t>(n));
}

std::optional<TVariant> DateValue(char typeCode, const json& value) {
  std::optional<double> days;
  if (value.is_string()) days = IsoTextToDate(typeCode, value.get<std::string>());
  if (value.is_number()) days = value.get<double>();
  if (!days || !IsValidDateTime(*days)) return std::nullopt;
  return TVariant::FromDateTime(*days);
}

std::optional<TVariant> TextValue(const TquvSymbolDef& field, const json& value) {
  if (!value.is_string()) return std::nullopt;
  std::string text;
  try {
    text = Utf8ToCp1252Exact(value.get<std::string>());
  } catch (const ECodePageError& e) {
    throw TValueFault{e.what()};
  }
  if (field.Size() > 0 && text.size() > field.Size())
    throw TValueFault{"longer than " + std::to_string(field.Size()) + " bytes"};
  return TVariant(std::move(text));
}

// The value to append for `value`; TValueFault when it does not fit the field.
TVariant ValueFor(const TquvSymbolDef& field, const json& value) {
  if (value.is_null()) return TVariant::Null();
  std::optional<TVariant> result;
  switch (field.TypeCode()) {
    case 'A':
      result = TextValue(field, value);
      break;
    case 'I':
    case 'R':
      if (value.is_string())
        if (auto bytes = DecodeBase64(value.get<std::string>())) result = TVariant(*bytes);
      break;
    case 'N':
    case '+':
      result = NumberValue(field, value);
      break;
    case 'B':
      if (value.is_boolean()) result = TVariant(value.get<bool>());
      break;
    case 'M':
      if (value.is_number() && std::fabs(value.get<double>()) < kCurrencyLimit)
        result = TVariant::FromCurrency(std::llround(value.get<double>() * kCurrencyScale));
      break;
    case 'D':
    case 'T':
    case 'H':
      result = DateValue(field.TypeCode(), value);
      break;
    default:
      break;
  }
  if (!result)
    throw TValueFault{std::string("expected ") + Expected(field.TypeCode(), field.Decimals())};
  return *result;
}

class TRowsReader final {
 public:
  TRowsReader(const TJsonSource& source, const TquvSymbolDefs& defs)
      : FSource(source), FDefs(defs) {}

  std::vector<TVariant> Row(const json& row, const std::string& at) const {
    std::vector<TVariant> values(std::size_t(FDefs.Count()), TVariant::Null());
    if (row.is_array()) {
      if (row.size() != values.size()) {
        FSource.Fail(at, "a row list needs " + std::to_string(values.size()) + " values, not " +
                             std::to_string(row.size()));
      }
      for (std::size_t i = 0; i < row.size(); ++i)
        values[i] = Value(int32_t(i), row[i], at + "/" + std::to_string(i));
    } else if (row.is_object()) {
      for (const auto& [key, value] : row.items()) {
        const int32_t index = FDefs.IndexOf(FSource.Cp1252At(at + "/" + key, key));
        if (index < 0)
          FSource.Fail(at + "/" + key, "\"" + key + "\" is not a field of the definition");
        values[std::size_t(index)] = Value(index, value, at + "/" + key);
      }
    } else {
      FSource.Fail(at, "a row must be an object or a list");
    }
    return values;
  }

  void CheckFields(const json& fields) const {
    if (!fields.is_array()) FSource.Fail("/fields", "\"fields\" must be a list");
    if (fields.size() != std::size_t(FDefs.Count())) {
      FSource.Fail("/fields", "the definition has " + std::to_string(FDefs.Count()) +
                                  " fields, not " + std::to_string(fields.size()));
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const TquvSymbolDef& field = FDefs.Item(int32_t(i));
      const json& given = fields[i];
      const std::string at = "/fields/" + std::to_string(i);
      const bool sameName = given.is_object() && given.value("name", json()).is_string() &&
                            AnsiCompareText(FSource.Cp1252At(at, given["name"].get<std::string>()),
                                            field.Name()) == 0;
      const bool sameType =
          given.is_object() && given.value("type", json()) == std::string(1, field.TypeCode());
      if (!sameName || !sameType) {
        FSource.Fail(at, "field " + std::to_string(i) + " of the definition is \"" +
                             Cp1252ToUtf8(field.Name()) + "\" of type " + field.TypeCode());
      }
    }
  }

 private:
  TVariant Value(int32_t index, const json& value, const std::string& at) const {
    const TquvSymbolDef& field = FDefs.Item(index);
    try {
      return ValueFor(field, value);
    } catch (const TValueFault& fault) {
      FSource.Fail(at, "field \"" + Cp1252ToUtf8(field.Name()) + "\": " + fault.What);
    }
  }

  const TJsonSource& FSource;
  const TquvSymbolDefs& FDefs;
};

void CheckKeys(const TJsonSource& source, const json& root) {
  for (const auto& [key, value] : root.items()) {
    if (key != "name" && key != "tags" && key != "fields" && key != "rows")
      source.Fail("/" + key, "unknown key \"" + key + "\"");
  }
  if (!root.contains("rows")) source.Fail("", "\"rows\" is missing");
}

void ReadTags(const TJsonSource& source, const json& root, TquvTagBag& tags) {
  if (!root.contains("tags")) return;
  const json& given = root["tags"];
  if (!given.is_object()) source.Fail("/tags", "\"tags\" must be an object of texts");
  for (const auto& [key, value] : given.items()) {
    if (!value.is_string()) source.Fail("/tags/" + key, "tag \"" + key + "\" must be a text");
    const std::string at = "/tags/" + key;
    tags.SetTag(source.Cp1252At(at, key), source.Cp1252At(at, value.get<std::string>()));
  }
}

uint8_t SaveFlags(const TquvSymbolDefs& defs) {
  const uint8_t flags = kRsWithDefinitions | kRsFullDefinitions;
  return defs.GroupCount() > 0 ? flags | kRsWithGroups : flags;
}

}  // namespace

std::unique_ptr<TquvSymbolDefs> LoadDefinitions(const std::string& intfFileName,
                                                const std::string& definitionName) {
  const std::string name = toolmain::ArgumentToCp1252("--definition", definitionName);
  const std::string library = toolfiles::LibraryNameOf(intfFileName);
  std::string key = name;
  if (std::count(name.begin(), name.end(), '.') >= 2) {
    const std::size_t dot = name.find('.');
    if (AnsiCompareText(name.substr(0, dot), library) != 0) {
      throw toolmain::EToolError(intfFileName + ": the file holds the library \"" +
                                 Cp1252ToUtf8(library) + "\", not \"" +
                                 Cp1252ToUtf8(name.substr(0, dot)) + "\"");
    }
    key = name.substr(dot + 1);
  }
  // Says plainly why a file cannot be read before the registry tries it.
  toolfiles::ReadNamedFile(intfFileName);
  try {
    const std::string path =
        intfFileName.find('/') != std::string::npos ? intfFileName : "./" + intfFileName;
    TquvInterfaceLib lib(TquvLibraryOptions{ExtractFileDir(path), true, false});
    lib.Load(path);
    TquvInterfaceRef intf = lib.GetInterface(key);
    auto defs = std::make_unique<TquvSymbolDefs>();
    defs->Assign(intf->Defs());
    defs->SetQualifiedName(intf->QualifiedName());
    return defs;
  } catch (const std::exception& e) {
    throw toolmain::EToolError(intfFileName + ": " + Cp1252ToUtf8(e.what()));
  }
}

std::string BuildRecordset(std::unique_ptr<TquvSymbolDefs> definitions, const std::string& fileName,
                           const std::string& text) {
  const TJsonSource source(fileName, text);
  const json& root = source.Root();
  TquvRecordset recordset;
  recordset.SetFieldDefs(std::move(definitions));
  const TRowsReader reader(source, recordset.FieldDefs());
  std::string rowsAt;
  if (root.is_object()) {
    CheckKeys(source, root);
    ReadTags(source, root, recordset.Tags());
    if (root.contains("fields")) reader.CheckFields(root["fields"]);
    rowsAt = "/rows";
  } else if (!root.is_array()) {
    source.Fail("", "expected a list of rows or an object with \"rows\"");
  }
  const json& rows = rowsAt.empty() ? root : root["rows"];
  if (!rows.is_array()) source.Fail(rowsAt, "\"rows\" must be a list");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::vector<TVariant> values = reader.Row(rows[i], rowsAt + "/" + std::to_string(i));
    recordset.AppendValues(values);
  }
  TMemoryStream out;
  recordset.SaveToStream(out, SaveFlags(recordset.FieldDefs()));
  return std::string(out.Bytes().begin(), out.Bytes().end());
}

}  // namespace quv::rstool
