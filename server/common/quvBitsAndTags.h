#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Streams.h"

namespace quv {

// A set of bits, 1 meaning null, stored in 32-bit words; grown bits start as 1.
// Stream form: the byte size (one byte), then the words' bytes, least
// significant first.
class TBits final {
 public:
  int32_t Size() const { return FSize; }
  // Reallocates in whole words; new bits are 1, old ones kept.
  void SetSize(int32_t size);
  // Raises "Bit index out of bounds" for an index outside 0 .. Size - 1.
  bool Bit(int32_t index) const {
    if (index < 0 || index >= FSize) FailIndex();
    return (FWords[static_cast<std::size_t>(index / 32)] >> (index % 32)) & 1u;
  }
  // An index at or beyond Size grows the set to index + 1.
  void SetBit(int32_t index, bool value);
  void SetAll(bool value);
  int32_t ByteSize() const { return static_cast<int32_t>(FWords.size() * 4); }
  void SaveToStream(TStream& stream) const;
  // Reads the byte N and N bytes; Size becomes N / 4 × 32.
  void LoadFromStream(TStream& stream);
  // The same from the stream form held in memory: `form[0]` bytes follow.
  void LoadFromBytes(const uint8_t* form);

 private:
  [[noreturn]] static void FailIndex();

  std::vector<uint32_t> FWords;
  int32_t FSize = 0;
};

// Named string values carried in a recordset's header, sorted by name without
// regard to case. Stream form: int32 count, then per tag the int32-length name
// and the int32-length value.
class TquvTagBag final {
 public:
  // Replaces the value of an existing tag, else adds one.
  void SetTag(std::string_view name, std::string value);
  // The value of the tag, or "" when there is none.
  std::string Tag(std::string_view name) const;
  int32_t Count() const { return static_cast<int32_t>(FTags.size()); }
  const std::pair<std::string, std::string>& Item(int32_t index) const {
    return FTags.at(static_cast<std::size_t>(index));
  }
  void Clear() { FTags.clear(); }
  void Assign(const TquvTagBag& other) { FTags = other.FTags; }
  void SaveToStream(TStream& stream) const;
  // Clears the bag first; a tag past the end of `stream` raises the
  // string-read errors of the value stream.
  void LoadFromStream(TStream& stream);

 private:
  std::vector<std::pair<std::string, std::string>> FTags;
};

}  // namespace quv
