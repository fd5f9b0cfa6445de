// Applies arbitrary bytes as a difference to an old file taken from the
// input's start: a damaged difference must end in "CRC Error" and nothing
// else. The rest of the input, made into a difference, must apply back.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "loader/quvDiff.h"
#include "loader/quvLoaderError.h"
#include "server/common/quvViewStream.h"

namespace {

std::string Applied(std::string_view oldData, std::string_view diff) {
  quv::TViewStream old(oldData), diffStream(diff);
  quv::TMemoryStream output;
  quv::ApplyDifference(old, diffStream, output);
  const quv::TByteView bytes = output.Bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

// Input: uint16 n, then n bytes of the old file, then the difference.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::size_t oldSize = std::min<std::size_t>(data[0] | data[1] << 8, size - 2);
  const std::string_view oldData(reinterpret_cast<const char*>(data) + 2, oldSize);
  const std::string_view diff(reinterpret_cast<const char*>(data) + 2 + oldSize,
                              size - 2 - oldSize);
  try {
    Applied(oldData, diff);
  } catch (const quv::ELoaderError& e) {
    if (std::string_view(e.what()) != quv::kCrcErrorMessage) std::abort();
  }
  if (Applied(oldData, quv::MakeDifference(oldData, diff)) != diff) std::abort();
  return 0;
}
