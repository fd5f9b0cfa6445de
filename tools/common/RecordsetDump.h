#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "server/common/quvRecordset.h"

namespace quv::rstool {

// The recordset serialised in `bytes`, with its blobs in memory; raises the
// recordset's errors for bytes that do not hold one.
std::unique_ptr<TquvRecordset> LoadRecordset(const std::string& bytes);

// How the cells of text fields show: as stored, or as the values their texts
// stand for where the reply says what that is (the lists of the library
// "quvsystem", see QuvSystemValueType); a text that is no such value stays
// a text.
enum class TTextCells { AsStored, AsMeant };

// The recordset as a document: "name", "tags" (an object), "fields" (name,
// type, size, decimals) and "rows" (an object per row keyed by field name).
// Texts are UTF-8, blobs and nested recordsets base64, dates ISO texts.
nlohmann::ordered_json DumpAsJson(TquvRecordset& recordset,
                                  TTextCells textCells = TTextCells::AsStored);
// The same as an aligned table under a header; null cells read "(null)",
// empty texts "".
std::string DumpAsText(TquvRecordset& recordset);
// The table of DumpAsText alone: a line of field names, a rule, a line per row.
std::string DumpRowsAsText(TquvRecordset& recordset, TTextCells textCells = TTextCells::AsStored);

}  // namespace quv::rstool
