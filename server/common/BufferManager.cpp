#include "server/common/BufferManager.h"

#include <atomic>
#include <mutex>

#include "platform/Exception.h"

namespace quv {

TBufferManager::TBufferManager(int32_t bufferSize) : FBufferSize(bufferSize) {}

TBufferRecord* TBufferManager::GetBuffer() {
  std::unique_ptr<TBufferRecord> record;
  {
    std::lock_guard lock(FLock);
    if (!FFreeList.empty()) {
      record = std::move(FFreeList.back());
      FFreeList.pop_back();
    }
    ++FUsedCount;
    if (!record) {
      record = std::make_unique<TBufferRecord>();
      record->Size = FBufferSize;
    }
  }
  if (!record->Data) record->Data = std::make_unique<uint8_t[]>(std::size_t(record->Size));
  record->InUse = true;
  return record.release();
}

void TBufferManager::ReleaseBuffer(TBufferRecord* record) {
  if (record == nullptr || !record->InUse) return;
  record->InUse = false;
  std::unique_ptr<TBufferRecord> owned(record);
  std::lock_guard lock(FLock);
  --FUsedCount;
  if (FFreeList.size() < kMaxFreeRecords && owned->Size == FBufferSize)
    FFreeList.push_back(std::move(owned));
}

void TBufferManager::SetBufferSize(int32_t size) {
  if (size < 1) return;
  std::lock_guard lock(FLock);
  if (size == FBufferSize) return;
  FBufferSize = size;
  FFreeList.clear();
}

int32_t TBufferManager::BufferSize() {
  std::lock_guard lock(FLock);
  return FBufferSize;
}

void TBufferManager::Clear() {
  std::lock_guard lock(FLock);
  if (FUsedCount > 0) throw Exception("There are used items in BufferManager list");
  FFreeList.clear();
}

int32_t TBufferManager::UsedCount() {
  std::lock_guard lock(FLock);
  return FUsedCount;
}

std::size_t TBufferManager::FreeCount() {
  std::lock_guard lock(FLock);
  return FFreeList.size();
}

namespace {

// Lent buffers hold the manager, so it lives on until the last one comes back.
struct TProcessBuffers {
  const std::shared_ptr<TBufferManager> Manager = std::make_shared<TBufferManager>();
};

constinit TProcessSlot<TProcessBuffers> gBuffers("buffer manager");

}  // namespace

std::unique_ptr<TScopePart> MakeProcessBufferManager() { return gBuffers.Make(); }

std::shared_ptr<TBufferManager> ProcessBufferManager() { return gBuffers->Manager; }

namespace {

std::atomic<bool> GUseBufferManager{false};

}  // namespace

bool UseBufferManager() { return GUseBufferManager.load(); }

void SetUseBufferManager(bool on) { GUseBufferManager.store(on); }

TLentBuffer::TLentBuffer(std::shared_ptr<TBufferManager> manager)
    : FManager(std::move(manager)), FRecord(FManager->GetBuffer()) {}

TLentBuffer::TLentBuffer(TLentBuffer&& other) noexcept
    : FManager(std::move(other.FManager)), FRecord(other.FRecord) {
  other.FRecord = nullptr;
}

TLentBuffer& TLentBuffer::operator=(TLentBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    FManager = std::move(other.FManager);
    FRecord = other.FRecord;
    other.FRecord = nullptr;
  }
  return *this;
}

std::span<uint8_t> TLentBuffer::Bytes() const {
  if (FRecord == nullptr) return {};
  return {FRecord->Data.get(), std::size_t(FRecord->Size)};
}

void TLentBuffer::Release() {
  if (FRecord != nullptr) FManager->ReleaseBuffer(FRecord);
  FRecord = nullptr;
  FManager.reset();
}

}  // namespace quv
