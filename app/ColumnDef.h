#pragma once

#include <QString>
#include <string>
#include <vector>

#include "app/QtText.h"

namespace quv {

// A column of a list: its title, and its width in pixels (0: hidden).
struct TColumnDef {
  QString Title;
  int Width;
};

// Columns of these Windows-1252 titles and widths.
inline std::vector<TColumnDef> ColumnsOf(const std::vector<std::string>& titles,
                                         const std::vector<int>& widths) {
  std::vector<TColumnDef> columns;
  for (std::size_t i = 0; i < titles.size() && i < widths.size(); ++i)
    columns.push_back({ToQString(titles[i]), widths[i]});
  return columns;
}

}  // namespace quv
