#pragma once

#include <memory>
#include <string>

#include "server/common/quvIntf.h"
#include "tools/common/JsonSource.h"

namespace quv::rstool {

// JSON rows that cannot become a recordset; "FILE:LINE: what is wrong".
using ERowsError = tooljson::EJsonInputError;

// A copy of the first definition set of `definitionName` (UTF-8;
// library.module.interface, or module.interface) in the interface file
// `intfFileName`, named after the interface. Errors name the file.
std::unique_ptr<TquvSymbolDefs> LoadDefinitions(const std::string& intfFileName,
                                                const std::string& definitionName);

// The serialised recordset (with its definitions) that has `definitions` and
// the rows of the JSON text `text`, read from `fileName` (for messages). The
// text is a list of rows, or a document as RecordsetDump writes it; a row is
// an object keyed by field name (missing fields are null) or a list of
// every field's value in field order.
std::string BuildRecordset(std::unique_ptr<TquvSymbolDefs> definitions, const std::string& fileName,
                           const std::string& text);

}  // namespace quv::rstool
