#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/JSON.h"

namespace quv {

// What the printed reports share: aligned tables, CSV and JSON values.

// A table as Windows-1252 texts: the titles, then the rows' cells.
struct TTextTable {
  std::vector<std::string> Titles;
  std::vector<std::vector<std::string>> Rows;
};

// The table in aligned columns (two spaces apart), as UTF-8 lines.
void WriteAligned(const TTextTable& table, std::ostream& out);
// The table as CSV in UTF-8, lines ending in CR LF.
void WriteCsv(const TTextTable& table, std::ostream& out);

// One field of a CSV line: quoted (with inner quotes doubled) when it holds
// a comma, a quote or a line break.
std::string CsvField(const std::string& text);

// A Windows-1252 text as a JSON string, and JSON's null.
std::unique_ptr<TJSONbase> JsonText(const std::string& cp1252);
std::unique_ptr<TJSONbase> JsonNull();

}  // namespace quv
