#include "client/ProcessInfo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/SharedMemory.h"
#include "platform/SystemInfo.h"
#include "server/common/quvstream.h"

namespace quv {

namespace {

// The block in shared memory, or in private memory when the system has no
// shared memory to give, so that the client still works without it.
class TProcessInfoBlock final {
 public:
  TProcessInfoBlock() {
    try {
      FShared = TSharedMemory(ProcessInfoBlockName(), kProcessInfoSize);
      FMemory = FShared.Memory();
    } catch (const Exception& e) {
      OutputDebugString("quvclient: no shared process information block: " + e.Message());
      FPrivate.assign(kProcessInfoSize, 0);
      FMemory = FPrivate.data();
    }
  }
  uint8_t* Memory() const { return FMemory; }

 private:
  TSharedMemory FShared;
  std::vector<uint8_t> FPrivate;
  uint8_t* FMemory = nullptr;
};

constinit TProcessSlot<TProcessInfoBlock> gBlock("process information block");

TProcessInfoBlock& Block() { return *gBlock; }

constexpr std::string_view kBlockNamePrefix = "VANTORA_GLOBAL_PROCESS_INFO_";

}  // namespace

std::unique_ptr<TScopePart> MakeProcessInfoBlock() {
  RemoveSharedMemoryOfEndedProcesses(kBlockNamePrefix);
  return gBlock.Make();
}

std::string ProcessInfoBlockName() {
  return std::string(kBlockNamePrefix) + std::to_string(ProcessId());
}

TProcessInfoStream::TProcessInfoStream() : FMemory(Block().Memory()) {}

void TProcessInfoStream::SetSize(int64_t newSize) {
  if (newSize < 0 || newSize > kProcessInfoSize) throw EStreamError("Invalid stream size");
  FSize = newSize;
  FPosition = std::min(FPosition, newSize);
}

int32_t TProcessInfoStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || FPosition >= FSize) return 0;
  const auto n = static_cast<int32_t>(std::min<int64_t>(count, FSize - FPosition));
  std::memcpy(buffer, FMemory + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

int32_t TProcessInfoStream::Write(const void* buffer, int32_t count) {
  if (count <= 0 || FPosition >= kProcessInfoSize) return 0;
  const auto n = static_cast<int32_t>(std::min<int64_t>(count, kProcessInfoSize - FPosition));
  std::memcpy(FMemory + FPosition, buffer, static_cast<std::size_t>(n));
  FPosition += n;
  FSize = std::max(FSize, FPosition);
  return n;
}

int64_t TProcessInfoStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = FPosition;
  if (origin == TSeekOrigin::End) base = FSize;
  const int64_t target = base + offset;
  if (target < 0) return -1;
  FPosition = target;
  return FPosition;
}

std::string ProcessInfoText() {
  TProcessInfoStream block;
  TquvStream reader(&block);
  const int32_t length = reader.ReadInteger();
  if (length < 0 || length > kProcessInfoMaxText) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  reader.ReadBuffer(text.data(), length);
  return text;
}

}  // namespace quv
