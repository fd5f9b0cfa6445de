#include "app/ReplyTable.h"

#include <algorithm>

#include "platform/IniFile.h"

namespace quv {

TReplyTable::TReplyTable(TquvRecordset& rows) : FName(rows.Name()) {
  for (int32_t i = 0; i < rows.FieldCount(); ++i)
    FFieldNames.push_back(rows.FieldDefs().Item(i).Name());
  // A reply that is not complete never reaches Eof by itself: it ends after
  // the last row it holds.
  for (rows.First(); rows.RecNo() < rows.RecordCount() && !rows.Eof(); rows.Next())
    FRows.push_back(ReadRow(rows));
}

TReplyTable::TRow TReplyTable::ReadRow(TquvRecordset& rows) const {
  TRow row;
  row.Texts.resize(FFieldNames.size());
  for (std::size_t i = 0; i < FFieldNames.size(); ++i) {
    try {
      row.Texts[i] = rows.GetFieldValueByIndex(static_cast<int32_t>(i)).ToText();
    } catch (...) {
      row.Failures.resize(FFieldNames.size());
      row.Failures[i] = std::current_exception();
    }
  }
  return row;
}

int32_t TReplyTable::IndexOf(const std::string& name) const {
  const auto found = std::ranges::find_if(
      FFieldNames, [&name](const std::string& field) { return SameTextAscii(field, name); });
  return found == FFieldNames.end() ? -1 : static_cast<int32_t>(found - FFieldNames.begin());
}

std::string TReplyTable::FieldText(const std::string& name) const {
  const int32_t index = IndexOf(name);
  if (index < 0) throw Exception(UnknownFieldText(name, FName));
  return TextAt(FRow, static_cast<std::size_t>(index));
}

std::string TReplyTable::TextAt(std::size_t row, std::size_t field) const {
  const TRow& texts = FRows.at(row);
  if (!texts.Failures.empty() && texts.Failures[field])
    std::rethrow_exception(texts.Failures[field]);
  return texts.Texts[field];
}

std::vector<std::pair<std::string, std::string>> TReplyTable::RowFields(std::size_t row) const {
  std::vector<std::pair<std::string, std::string>> fields;
  for (std::size_t i = 0; i < FFieldNames.size(); ++i) {
    try {
      fields.emplace_back(FFieldNames[i], TextAt(row, i));
    } catch (const std::exception& e) {
      fields.emplace_back(FFieldNames[i], e.what());
    }
  }
  return fields;
}

}  // namespace quv
