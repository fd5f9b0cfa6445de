// Any block, any output capacity: the decoder either returns a count within
// the capacity or raises its error, and touches nothing outside either buffer.

#include <cstdlib>
#include <cstring>
#include <memory>

#include "server/common/fastlzw.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the capacity; the rest is the block, copied so
  // that it ends exactly where the sanitizers watch.
  const std::size_t capacity = std::size_t(data[0]) << 8 | data[1];
  const std::size_t length = size - 2;
  const auto block = std::make_unique<std::uint8_t[]>(length);
  if (length > 0) std::memcpy(block.get(), data + 2, length);
  const auto output = std::make_unique<std::uint8_t[]>(capacity);
  try {
    if (quv::fastlzw::Decompress(block.get(), output.get(), length, capacity) > capacity) {
      std::abort();
    }
  } catch (const quv::fastlzw::EFastLzwError&) {
  }
  return 0;
}
