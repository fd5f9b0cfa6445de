#include "app/ReportOutput.h"

#include <algorithm>

#include "platform/Cp1252.h"

namespace quv {

// One byte is one character in Windows-1252, so byte counts align columns.
void WriteAligned(const TTextTable& table, std::ostream& out) {
  std::vector<std::size_t> widths;
  for (const std::string& title : table.Titles) widths.push_back(title.size());
  for (const auto& cells : table.Rows)
    for (std::size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], cells[i].size());
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      text += cells[i];
      if (i + 1 < cells.size()) text += std::string(widths[i] - cells[i].size() + 2, ' ');
    }
    out << Cp1252ToUtf8(text) << '\n';
  };
  line(table.Titles);
  for (const auto& cells : table.Rows) line(cells);
}

void WriteCsv(const TTextTable& table, std::ostream& out) {
  const auto line = [&](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i)
      out << (i ? "," : "") << CsvField(Cp1252ToUtf8(cells[i]));
    out << "\r\n";
  };
  line(table.Titles);
  for (const auto& cells : table.Rows) line(cells);
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::unique_ptr<TJSONbase> JsonText(const std::string& cp1252) {
  return std::make_unique<TJSONbase>(Cp1252ToUtf16(cp1252));
}

std::unique_ptr<TJSONbase> JsonNull() { return std::make_unique<TJSONbase>(); }

}  // namespace quv
