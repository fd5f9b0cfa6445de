#include "tools/common/RecordsetDump.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "platform/StrUtils.h"
#include "server/common/quvCalcEngine.h"
#include "server/common/quvSystemFields.h"
#include "tools/common/Base64.h"
#include "tools/common/DateText.h"

namespace quv::rstool {

namespace {

using nlohmann::ordered_json;

constexpr double kCurrencyScale = 10000.0;

// The stored bytes of a text, blob or nested value ("" for an empty one).
std::string StoredText(const TVariant& value) { return value.IsText() ? value.Text() : ""; }

// The value that the text of a field of type A stands for, as `meant` says
// ('N', 'B' or 'H', see QuvSystemValueType); the text itself when it is none.
ordered_json MeantValueJson(char meant, const std::string& text) {
  int32_t number = 0;
  double days = 0;
  if (meant == 'N' && TryStrToInt(text, number)) return number;
  if (meant == 'B' && (text == "true" || text == "false")) return text == "true";
  if (meant == 'H' && TryStrToFloat(text, days)) {
    if (auto iso = DateToIsoText('H', days)) return *iso;
  }
  return Cp1252ToUtf8(text);
}

ordered_json CellJson(TquvRecordset& recordset, int32_t index, TTextCells textCells) {
  if (recordset.IsNull(index)) return nullptr;
  const TquvSymbolDef& field = recordset.FieldDefs().Item(index);
  const TVariant value = recordset.GetFieldValueByIndex(index);
  switch (field.TypeCode()) {
    case 'A':
      if (textCells == TTextCells::AsMeant)
        return MeantValueJson(QuvSystemValueType(recordset.Name(), field.Name()),
                              StoredText(value));
      return Cp1252ToUtf8(StoredText(value));
    case 'I':
    case 'R':
      return EncodeBase64(StoredText(value));
    case 'N':
    case '+':
      if (field.Decimals() != 0) return value.ToDouble();
      return value.ToInteger();
    case 'B':
      return value.ToBoolean();
    case 'M':
      return static_cast<double>(value.ToCurrency()) / kCurrencyScale;
    case 'D':
    case 'T':
    case 'H':
      if (auto text = DateToIsoText(field.TypeCode(), value.ToDateTime())) return *text;
      return value.ToDateTime();
    default:
      return nullptr;
  }
}

// Control characters would break the table's lines.
std::string Printable(const std::string& utf8) {
  return program::ShownText(utf8, std::string::npos);
}

std::string CellText(TquvRecordset& recordset, int32_t index, TTextCells textCells) {
  if (recordset.IsNull(index)) return "(null)";
  const char code = recordset.FieldDefs().Item(index).TypeCode();
  if (code == 'I' || code == 'R') {
    const std::size_t size = StoredText(recordset.GetFieldValueByIndex(index)).size();
    return std::string(code == 'I' ? "<blob " : "<recordset ") + std::to_string(size) + " bytes>";
  }
  const ordered_json cell = CellJson(recordset, index, textCells);
  if (!cell.is_string()) return cell.dump();
  const std::string text = cell.get<std::string>();
  return text.empty() ? "\"\"" : Printable(text);
}

// Characters on screen of a UTF-8 text.
std::size_t DisplayWidth(const std::string& utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string TypeOf(const TquvSymbolDef& field) {
  std::string type(1, field.TypeCode());
  if (field.Size() != 0 || field.Decimals() != 0) {
    type += "(" + std::to_string(field.Size());
    if (field.Decimals() != 0) type += "," + std::to_string(field.Decimals());
    type += ")";
  }
  return type;
}

void WriteHeader(std::ostream& out, TquvRecordset& recordset) {
  char flags[8];
  std::snprintf(flags, sizeof flags, "0x%02X", recordset.Flags());
  out << "recordset " << Cp1252ToUtf8(recordset.Name()) << " (flags " << flags << ", "
      << recordset.RecordCount() << " rows)\n";
  TquvTagBag& tags = recordset.Tags();
  for (int32_t i = 0; i < tags.Count(); ++i) {
    out << "tag " << Printable(Cp1252ToUtf8(tags.Item(i).first)) << " = \""
        << Printable(Cp1252ToUtf8(tags.Item(i).second)) << "\"\n";
  }
  for (int32_t i = 0; i < recordset.FieldCount(); ++i) {
    const TquvSymbolDef& field = recordset.FieldDefs().Item(i);
    out << "field " << i << ": " << Cp1252ToUtf8(field.Name()) << " " << TypeOf(field);
    if (!FieldExpression(field).empty())
      out << " = " << Printable(Cp1252ToUtf8(FieldExpression(field)));
    out << "\n";
  }
}

void WriteLine(std::ostream& out, const std::vector<std::string>& cells,
               const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line += " | ";
    line += cells[i];
    if (i + 1 < cells.size()) line.append(widths[i] - DisplayWidth(cells[i]), ' ');
  }
  out << line << "\n";
}

}  // namespace

std::unique_ptr<TquvRecordset> LoadRecordset(const std::string& bytes) {
  auto recordset = std::make_unique<TquvRecordset>();
  recordset->CacheBlobs = true;
  TMemoryStream stream(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  recordset->LoadFromStream(stream, true);
  return recordset;
}

ordered_json DumpAsJson(TquvRecordset& recordset, TTextCells textCells) {
  ordered_json root;
  root["name"] = Cp1252ToUtf8(recordset.Name());
  root["tags"] = ordered_json::object();
  TquvTagBag& tags = recordset.Tags();
  for (int32_t i = 0; i < tags.Count(); ++i)
    root["tags"][Cp1252ToUtf8(tags.Item(i).first)] = Cp1252ToUtf8(tags.Item(i).second);
  root["fields"] = ordered_json::array();
  for (int32_t i = 0; i < recordset.FieldCount(); ++i) {
    const TquvSymbolDef& field = recordset.FieldDefs().Item(i);
    ordered_json& entry =
        root["fields"].emplace_back(ordered_json{{"name", Cp1252ToUtf8(field.Name())},
                                                 {"type", std::string(1, field.TypeCode())},
                                                 {"size", field.Size()},
                                                 {"decimals", field.Decimals()}});
    if (!FieldExpression(field).empty()) entry["expression"] = Cp1252ToUtf8(FieldExpression(field));
  }
  root["rows"] = ordered_json::array();
  for (int32_t row = 0; row < recordset.RecordCount(); ++row) {
    recordset.GoToRow(row);
    ordered_json values = ordered_json::object();
    for (int32_t i = 0; i < recordset.FieldCount(); ++i)
      values[Cp1252ToUtf8(recordset.FieldDefs().Item(i).Name())] =
          CellJson(recordset, i, textCells);
    root["rows"].push_back(std::move(values));
  }
  return root;
}

std::string DumpRowsAsText(TquvRecordset& recordset, TTextCells textCells) {
  std::ostringstream out;
  std::vector<std::vector<std::string>> lines(1);
  for (int32_t i = 0; i < recordset.FieldCount(); ++i)
    lines[0].push_back(Printable(Cp1252ToUtf8(recordset.FieldDefs().Item(i).Name())));
  for (int32_t row = 0; row < recordset.RecordCount(); ++row) {
    recordset.GoToRow(row);
    std::vector<std::string>& cells = lines.emplace_back();
    for (int32_t i = 0; i < recordset.FieldCount(); ++i)
      cells.push_back(CellText(recordset, i, textCells));
  }
  std::vector<std::size_t> widths(lines[0].size(), 0);
  for (const auto& cells : lines)
    for (std::size_t i = 0; i < cells.size(); ++i)
      widths[i] = std::max(widths[i], DisplayWidth(cells[i]));
  WriteLine(out, lines[0], widths);
  std::vector<std::string> rule;
  for (const std::size_t width : widths) rule.emplace_back(width, '-');
  WriteLine(out, rule, widths);
  for (std::size_t i = 1; i < lines.size(); ++i) WriteLine(out, lines[i], widths);
  return out.str();
}

std::string DumpAsText(TquvRecordset& recordset) {
  std::ostringstream out;
  WriteHeader(out, recordset);
  out << "\n" << DumpRowsAsText(recordset);
  return out.str();
}

}  // namespace quv::rstool
