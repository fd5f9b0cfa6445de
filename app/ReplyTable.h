#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "app/RemoteCalls.h"
#include "server/common/quvRecordset.h"

namespace quv {

// A recordset read to its end into texts: every field of every row it holds
// (a null value as empty text), so that the rows are decoded on the thread of
// the call and shown later without the recordset. A field is found by name as
// the recordset finds it: ASCII letters in any case, the first of equal
// names. A value that could not be read raises its error where it is asked
// for, as the recordset would have.
class TReplyTable final : public IReplyRows {
 public:
  explicit TReplyTable(TquvRecordset& rows);

  bool Eof() const override { return FRow >= FRows.size(); }
  void Next() override { ++FRow; }
  std::string FieldText(const std::string& name) const override;
  std::vector<std::pair<std::string, std::string>> RowFields(std::size_t row) const override;

 private:
  // One row's texts by field; Failures is empty unless a value failed.
  struct TRow {
    std::vector<std::string> Texts;
    std::vector<std::exception_ptr> Failures;
  };

  TRow ReadRow(TquvRecordset& rows) const;
  int32_t IndexOf(const std::string& name) const;
  std::string TextAt(std::size_t row, std::size_t field) const;

  std::string FName;
  std::vector<std::string> FFieldNames;
  std::vector<TRow> FRows;
  std::size_t FRow = 0;
};

}  // namespace quv
