#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Streams.h"

namespace quv {

// Difference files lead from an old version of a file to a new one.
// Header (16 bytes): "UPDF" and two zero bytes, format version (uint16 @6),
// CRC-32 of the whole new file (uint32 @8), checksum of the old file
// (uint32 @12). Blocks follow; each starts with int32 n (bytes of the old
// file that form the old block) and a type byte:
//   0 literal: int32 L (0 ends), uint32 CRC, L bytes of new data;
//   1 edit: uint32 CRC of the output block, uint32 CRC of the old block,
//     int32 A, int32 B, A literal bytes, B / 10 entries of
//     (uint16 length, uint32 source @old block, uint32 target @output), 1-based.
inline constexpr int32_t kDiffHeaderSize = 16;
inline constexpr uint16_t kDiffFormatVersion = 1;
// Every buffer of the applier, and so every block of a difference, is at most this.
inline constexpr int32_t kDiffBufferSize = 2097152;
inline constexpr std::string_view kCrcErrorMessage = "CRC Error";

// The CRC-32 of IEEE 802.3 (reflected 0xEDB88320, initial and final inversion).
uint32_t Crc32(std::string_view data, uint32_t previous = 0);
uint32_t Crc32Bytes(const void* data, std::size_t size, uint32_t previous = 0);

// Whether `data` starts with a difference header for an old file whose
// checksum is `oldChecksum`.
bool IsDifferenceFor(std::string_view data, uint32_t oldChecksum);
// The CRC-32 of the new file that the difference header at the start of
// `data` names, or none when `data` does not start with one.
std::optional<uint32_t> DifferenceTarget(std::string_view data);

// Applies the difference read from `diff` (at its position, header included)
// to the old file read from `old` (from its position), writing the new file
// to `output`. A damaged, truncated or oversized difference raises
// ELoaderError "CRC Error"; nothing is allocated from a size before it is checked.
void ApplyDifference(TStream& old, TStream& diff, TStream& output);

// A difference that leads from `oldData` to `newData`: blocks of the old file
// are kept where the new file has the same bytes at the same place.
std::string MakeDifference(std::string_view oldData, std::string_view newData);

}  // namespace quv
