// Parses arbitrary bytes as JSON. A text that parses is written, and the
// written text must parse again and be written back to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Exception.h"
#include "support/JSON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<quv::TJSONarray> document;
  try {
    document = quv::ParseJSON(text);
  } catch (const quv::Exception&) {
    return 0;  // a documented parse or conversion error
  }
  if (!document) return 0;
  const std::string written = document->Text();
  // The writer's own output must read back: no exception is caught here.
  const std::unique_ptr<quv::TJSONarray> again = quv::ParseJSON(written);
  if (!again || again->Text() != written) std::abort();
  return 0;
}
