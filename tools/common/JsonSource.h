#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/common/ToolMain.h"

namespace quv::tooljson {

// A JSON input of a tool that cannot be used; the message reads
// "FILE:LINE: what is wrong".
class EJsonInputError : public toolmain::EToolError {
 public:
  using EToolError::EToolError;
};

// A parsed JSON text that remembers the line on which each value starts, so
// that faults found after parsing still name their line. Not thread-safe.
class TJsonSource final {
 public:
  // Raises EJsonInputError for text that is not JSON or nests deeper than
  // 100 levels.
  TJsonSource(std::string fileName, const std::string& text);

  const nlohmann::json& Root() const { return FRoot; }
  const std::string& FileName() const { return FFileName; }
  // The line of the value at the JSON pointer `pointer`, or of its nearest
  // enclosing value.
  int32_t LineOf(std::string pointer) const;
  [[noreturn]] void Fail(const std::string& pointer, const std::string& what) const;
  // The text `utf8` of the value at `pointer` in Windows-1252; a character
  // outside it fails at that value's line.
  std::string Cp1252At(const std::string& pointer, const std::string& utf8) const;

 private:
  std::string FFileName;
  nlohmann::json FRoot;
  std::map<std::string, int32_t> FLines;
};

}  // namespace quv::tooljson
