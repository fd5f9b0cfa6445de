// Every input up to the largest chunk decodes back to itself, from a block no
// longer than the input plus one byte.

#include <cstdlib>
#include <cstring>
#include <memory>

#include "server/common/fastlzw.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quv::fastlzw;
  if (size > MaxInput) return 0;
  static TWorkArea workArea;
  const auto block = std::make_unique<std::uint8_t[]>(CompressBound(size));
  const std::size_t length = Compress(data, block.get(), size, workArea);
  if (length > size + 1) std::abort();
  const auto output = std::make_unique<std::uint8_t[]>(size);
  if (Decompress(block.get(), output.get(), length, size) != size) std::abort();
  if (size > 0 && std::memcmp(output.get(), data, size) != 0) std::abort();
  return 0;
}
