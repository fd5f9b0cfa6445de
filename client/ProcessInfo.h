#pragma once

#include <cstdint>
#include <string>

#include "platform/ProcessSlot.h"
#include "platform/Streams.h"

namespace quv {

// The process information block, one per process in named shared memory so
// that other components can read it: text length (int32), then the text.
inline constexpr int32_t kProcessInfoSize = 8196;
inline constexpr int32_t kProcessInfoMaxText = kProcessInfoSize - 4;

// "VANTORA_GLOBAL_PROCESS_INFO_" + the process id in decimal.
std::string ProcessInfoBlockName();

// Makes this process's block, after removing the blocks of processes that
// ended without removing theirs (killed by a signal).
std::unique_ptr<TScopePart> MakeProcessInfoBlock();

// A stream whose memory is this process's block: size and capacity are
// kProcessInfoSize from creation; it never grows past the block. The block is
// made at start-up and freed at exit. Not thread-safe, and the block itself is
// not guarded.
class TProcessInfoStream final : public TStream {
 public:
  TProcessInfoStream();

  // Sizes from 0 to kProcessInfoSize; others raise EStreamError.
  void SetSize(int64_t newSize) override;
  int32_t Read(void* buffer, int32_t count) override;
  // Writes what fits in the block.
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  uint8_t* Memory() const { return FMemory; }

 private:
  uint8_t* FMemory;
  int64_t FSize = kProcessInfoSize;
  int64_t FPosition = 0;
};

// The block's text; empty when its length is outside 0 .. kProcessInfoMaxText,
// since whoever wrote it is outside this code's control.
std::string ProcessInfoText();

}  // namespace quv
