#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"
#include "platform/Streams.h"

namespace quv::testing {

// Builds little-endian byte sequences by hand for stream tests.
class TByteBuilder {
 public:
  TByteBuilder& U8(uint32_t v) { return Put(v, 1); }
  TByteBuilder& U16(uint32_t v) { return Put(v, 2); }
  TByteBuilder& I32(int32_t v) { return Put(static_cast<uint32_t>(v), 4); }
  TByteBuilder& Raw(std::string_view s) {
    FBytes.insert(FBytes.end(), s.begin(), s.end());
    return *this;
  }
  // A text with a length of `width` bytes in front.
  TByteBuilder& Text(int width, std::string_view s) {
    Put(static_cast<uint32_t>(s.size()), width);
    return Raw(s);
  }
  TByteBuilder& Append(const std::vector<uint8_t>& bytes) {
    FBytes.insert(FBytes.end(), bytes.begin(), bytes.end());
    return *this;
  }
  const std::vector<uint8_t>& Bytes() const { return FBytes; }
  TMemoryStream Stream() const { return TMemoryStream(FBytes); }

 private:
  TByteBuilder& Put(uint32_t v, int width) {
    for (int i = 0; i < width; ++i) FBytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> FBytes;
};

// The message of the error of type `E` that `f` raises, or "(no error)".
template <class E = Exception, class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return "(no error)";
}

}  // namespace quv::testing
