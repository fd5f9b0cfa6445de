#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/Exception.h"

// Block codec for chunks of at most 65534 bytes: an LZ77 coder with one hash
// probe per item (literals, back references of 3..18 bytes, runs of 16..4095
// bytes) and a stored fallback. Every chunk is coded on its own.
//
// Block: flag (1 byte: 0x40 compressed, 0x80 stored), then for a stored block
// the input bytes; for a compressed block groups of a big-endian 16-bit control
// word (bit 15 first; 0 = literal, 1 = copy item) and up to 16 items.
// Items: literal = 1 byte; pattern = big-endian (distance << 4) + (length - 3),
// distance 1..4095; run = 0x00, big-endian (length - 16), the byte.
namespace quv::fastlzw {

constexpr std::uint8_t CompressedFlag = 0x40;
constexpr std::uint8_t StoredFlag = 0x80;

// Largest chunk a block can carry: positions are 16-bit.
constexpr std::size_t MaxInput = 65534;

// Room Compress needs beyond the input length in its destination.
constexpr std::size_t DestSlack = 10;

constexpr std::size_t CompressBound(std::size_t n) { return n + DestSlack; }

// The compressor's hash table of input positions (0xFFFF = empty). The caller
// supplies it so that repeated calls allocate nothing; it holds no state
// between calls.
using TWorkArea = std::array<std::uint16_t, 4096>;
static_assert(sizeof(TWorkArea) == 8192);

// Raised for a block that does not fit its output buffer, is cut short, or
// refers to bytes before the start of its output; also for an input chunk
// longer than MaxInput.
class EFastLzwError : public Exception {
 public:
  using Exception::Exception;
};

// Compresses n bytes of source (n <= MaxInput) into dest, which must hold
// CompressBound(n) bytes; returns the block length (at most n + 1, since input
// that does not shrink is stored). Bytes of dest after the block may be
// overwritten.
std::uint16_t Compress(const std::uint8_t* source, std::uint8_t* dest, std::size_t n,
                       TWorkArea& workArea);

// Decodes the block of length l in source into dest, which holds capacity
// bytes; returns the number of bytes decoded. Raises EFastLzwError rather than
// write past capacity, read past l, or copy from before dest. Bytes of dest
// after the decoded ones (within capacity) may be overwritten.
std::size_t Decompress(const std::uint8_t* source, std::uint8_t* dest, std::size_t l,
                       std::size_t capacity);

}  // namespace quv::fastlzw
