#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/ProcessSlot.h"
#include "platform/Sync.h"

namespace quv {

// One pooled buffer. Belongs to its manager; a borrower holds it between
// GetBuffer and ReleaseBuffer.
struct TBufferRecord {
  bool InUse = false;
  int32_t Size = 0;
  std::unique_ptr<uint8_t[]> Data;
};

// A pool of equally sized copy buffers. Thread-safe. A manager must be idle
// (every buffer given back) when it is destroyed; the process-wide one is held
// by its borrowers too, so it lives until the last buffer comes back.
class TBufferManager final {
 public:
  static constexpr int32_t kDefaultBufferSize = 8192;
  static constexpr std::size_t kMaxFreeRecords = 1024;

  explicit TBufferManager(int32_t bufferSize = kDefaultBufferSize);
  TBufferManager(const TBufferManager&) = delete;
  TBufferManager& operator=(const TBufferManager&) = delete;

  // A pooled buffer when one is free, else a new one of the current size.
  TBufferRecord* GetBuffer();
  // Gives `record` back: pooled, or freed when the pool is full or the
  // buffer size changed since it was lent. A record that is not lent out is
  // ignored.
  void ReleaseBuffer(TBufferRecord* record);
  // The size of buffers lent from now on; the pooled buffers of another size
  // are freed. A size below 1 is ignored.
  void SetBufferSize(int32_t size);
  int32_t BufferSize();
  // Frees the pooled buffers; raises "There are used items in BufferManager
  // list" (freeing nothing) while a buffer is lent out.
  void Clear();

  int32_t UsedCount();
  std::size_t FreeCount();

 private:
  TCriticalSection FLock;
  std::vector<std::unique_ptr<TBufferRecord>> FFreeList;
  int32_t FBufferSize;
  int32_t FUsedCount = 0;
};

// Makes the process-wide manager.
std::unique_ptr<TScopePart> MakeProcessBufferManager();
// The process-wide manager.
std::shared_ptr<TBufferManager> ProcessBufferManager();

// Whether copies and buffered streams borrow their buffers from the
// process-wide manager. Off unless set. Thread-safe.
bool UseBufferManager();
void SetUseBufferManager(bool on);

// A buffer borrowed from a manager and given back when this object goes; it
// keeps the manager alive until then. Move-only.
class TLentBuffer final {
 public:
  TLentBuffer() = default;
  explicit TLentBuffer(std::shared_ptr<TBufferManager> manager);
  ~TLentBuffer() { Release(); }
  TLentBuffer(TLentBuffer&& other) noexcept;
  TLentBuffer& operator=(TLentBuffer&& other) noexcept;

  bool Empty() const { return FRecord == nullptr; }
  std::span<uint8_t> Bytes() const;
  // Gives the buffer back now.
  void Release();

 private:
  std::shared_ptr<TBufferManager> FManager;
  TBufferRecord* FRecord = nullptr;
};

}  // namespace quv
