#pragma once

#include <string_view>

namespace quv {

// The lists of the library "quvsystem" answer in text fields only; this is
// what their texts stand for, so that programs show typed values: 'N' a whole
// number, 'B' "true" or "false", 'H' a date-time as days since 30 December
// 1899, 'A' a text (every other field and method). `method` is the reply's
// name, library included, compared without regard to case.
char QuvSystemValueType(std::string_view method, std::string_view field);

}  // namespace quv
