#pragma once

#include <QString>
#include <string_view>

namespace quv {

// Windows-1252 bytes as text, for the lists' filter and the window.
QString ToQString(std::string_view cp1252);

}  // namespace quv
