#pragma once

#include <cstdint>

// Little-endian integers in byte buffers: every wire and file format of the
// system stores its integers this way, whatever the machine's byte order.
namespace quv {

// The `width` (1 to 8) low bytes of `value` at `bytes`, lowest first.
constexpr void PutLittleEndian(uint8_t* bytes, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The unsigned value of the `width` (1 to 8) bytes at `bytes`, lowest first.
constexpr uint64_t GetLittleEndian(const uint8_t* bytes, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

constexpr void PutInt32LE(uint8_t* bytes, int32_t value) {
  PutLittleEndian(bytes, static_cast<uint32_t>(value), 4);
}

constexpr int32_t GetInt32LE(const uint8_t* bytes) {
  return static_cast<int32_t>(static_cast<uint32_t>(GetLittleEndian(bytes, 4)));
}

}  // namespace quv
