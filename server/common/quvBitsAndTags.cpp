#include "server/common/quvBitsAndTags.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/Cp1252.h"
#include "platform/Exception.h"
#include "platform/LittleEndian.h"
#include "server/common/quvstream.h"

namespace quv {

// ---- TBits ----

void TBits::SetSize(int32_t size) {
  if (size < 0) FailIndex();
  FWords.resize(static_cast<std::size_t>((size + 31) / 32), 0xFFFFFFFFu);
  FSize = size;
}

void TBits::FailIndex() { throw Exception("Bit index out of bounds"); }

void TBits::SetBit(int32_t index, bool value) {
  if (index < 0) FailIndex();
  if (index >= FSize) SetSize(index + 1);
  uint32_t& word = FWords[static_cast<std::size_t>(index / 32)];
  const uint32_t mask = 1u << (index % 32);
  word = value ? word | mask : word & ~mask;
}

void TBits::SetAll(bool value) { std::fill(FWords.begin(), FWords.end(), value ? ~0u : 0u); }

void TBits::SaveToStream(TStream& stream) const {
  std::array<uint8_t, 1 + 4 * 64> bytes{};
  const int32_t byteSize = ByteSize();
  if (byteSize > 255) FailIndex();
  bytes[0] = static_cast<uint8_t>(byteSize);
  for (std::size_t i = 0; i < FWords.size(); ++i) PutLittleEndian(&bytes[1 + 4 * i], FWords[i], 4);
  stream.WriteBuffer(bytes.data(), 1 + byteSize);
}

void TBits::LoadFromStream(TStream& stream) {
  std::array<uint8_t, 256> form;
  stream.ReadBuffer(form.data(), 1);
  stream.ReadBuffer(form.data() + 1, form[0]);
  LoadFromBytes(form.data());
}

void TBits::LoadFromBytes(const uint8_t* form) {
  const uint8_t byteSize = form[0];
  FWords.resize((byteSize + 3u) / 4u);
  for (std::size_t i = 0; i < FWords.size(); ++i) {
    // A last partial word keeps 1 bits (null) where the form ends.
    std::array<uint8_t, 4> word = {0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(word.data(), form + 1 + 4 * i, std::min<std::size_t>(4, byteSize - 4 * i));
    FWords[i] = static_cast<uint32_t>(GetLittleEndian(word.data(), 4));
  }
  FSize = byteSize / 4 * 32;
}

// ---- TquvTagBag ----

namespace {

bool NameBefore(const std::pair<std::string, std::string>& tag, std::string_view name) {
  return AnsiCompareText(tag.first, name) < 0;
}

}  // namespace

void TquvTagBag::SetTag(std::string_view name, std::string value) {
  auto it = std::lower_bound(FTags.begin(), FTags.end(), name, NameBefore);
  if (it != FTags.end() && AnsiCompareText(it->first, name) == 0) {
    it->second = std::move(value);
  } else {
    FTags.insert(it, {std::string(name), std::move(value)});
  }
}

std::string TquvTagBag::Tag(std::string_view name) const {
  auto it = std::lower_bound(FTags.begin(), FTags.end(), name, NameBefore);
  if (it != FTags.end() && AnsiCompareText(it->first, name) == 0) return it->second;
  return {};
}

void TquvTagBag::SaveToStream(TStream& stream) const {
  TquvStream writer(&stream);
  writer.WriteInteger(Count());
  for (const auto& [name, value] : FTags) {
    writer.WriteString(name);
    writer.WriteString(value);
  }
}

void TquvTagBag::LoadFromStream(TStream& stream) {
  Clear();
  TquvStream reader(&stream);
  const int32_t count = reader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    std::string name = reader.ReadString();
    SetTag(name, reader.ReadDataString());
  }
}

}  // namespace quv
