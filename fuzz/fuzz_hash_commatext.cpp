// Feeds arbitrary bytes to the comma-text loader and, as a dictionary file, to the macro captions.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/Exception.h"
#include "support/Hash.h"
#include "support/MacroCaption.h"

namespace {

void LoadCommaText(std::string_view text, quv::THashDuplicates duplicates) {
  quv::THashList list(50, {.Duplicates = duplicates});
  try {
    list.LoadCommaText(text);
  } catch (const quv::Exception&) {
    // A duplicated item is a documented failure.
  }
}

void CaptionFromDictionary(std::string_view text) {
  static const std::string path = "/tmp/fuzz_captions_" + std::to_string(::getpid()) + ".bin";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  const quv::TquvMacroCaption captions(path);
  captions.Caption(text, quv::kCaptionWords);
  captions.Caption(text, quv::kCaptionPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  LoadCommaText(text, quv::THashDuplicates::Error);
  LoadCommaText(text, quv::THashDuplicates::Ignore);
  CaptionFromDictionary(text);
  return 0;
}
