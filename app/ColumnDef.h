#pragma once

#include <QString>

namespace quv {

// A column of a list: its title, and its width in pixels (0: hidden).
struct TColumnDef {
  QString Title;
  int Width;
};

}  // namespace quv
