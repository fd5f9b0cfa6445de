#pragma once

#include <cstdint>
#include <string>

#include "platform/Exception.h"

namespace quv {

// A broken internal assumption, raised instead of aborting. The message is the
// fixed text of the failed check; SourceUnit and Line say which check it was.
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(std::string message, std::string sourceUnit, int32_t line)
      : Exception(std::move(message)), FSourceUnit(std::move(sourceUnit)), FLine(line) {}
  const std::string& SourceUnit() const noexcept { return FSourceUnit; }
  int32_t Line() const noexcept { return FLine; }

 private:
  std::string FSourceUnit;
  int32_t FLine;
};

}  // namespace quv
