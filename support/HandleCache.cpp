#include "support/HandleCache.h"

#include <exception>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Cp1252.h"

namespace quv {

THandle THandleCache::Acquire(const std::string& name) {
  TCacheItem* item;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    item = FindOrCreate(name);
    if (item == nullptr) return kNoHandle;
    // The count keeps the item alive while this thread waits for its lock.
    item->AddRef();
  }
  item->FLock.Enter();
  return item->Handle();
}

void THandleCache::ReleaseHandle(const std::string& name, THandle handle, bool force) {
  std::lock_guard<TCriticalSection> guard(FLock);
  const auto found = FItems.find(KeyOf(name));
  if (found == FItems.end()) return;
  TCacheItem& item = *found->second;
  if (item.UseCount() == 0 || item.Handle() != handle) return;
  item.FLock.Leave();
  item.FLastUse = Clock().TickCount();
  if (item.Release() == 0 && (FExpiry == 0 || force)) FItems.erase(found);
}

void THandleCache::Expire(bool all) {
  std::lock_guard<TCriticalSection> guard(FLock);
  const uint32_t now = Clock().TickCount();
  for (auto it = FItems.begin(); it != FItems.end();) {
    const TCacheItem& item = *it->second;
    if (item.UseCount() == 0 && (all || IsExpired(item, now)))
      it = FItems.erase(it);
    else
      ++it;
  }
}

void THandleCache::SetExpiry(int32_t ms) {
  std::lock_guard<TCriticalSection> guard(FLock);
  FExpiry = ms;
}

int32_t THandleCache::Expiry() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FExpiry;
}

int32_t THandleCache::Count() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return static_cast<int32_t>(FItems.size());
}

int32_t THandleCache::UseCount(const std::string& name) const {
  std::lock_guard<TCriticalSection> guard(FLock);
  const auto found = FItems.find(KeyOf(name));
  return found == FItems.end() ? 0 : found->second->UseCount();
}

std::unique_ptr<TCacheItem> THandleCache::CreateItem(const std::string& name) {
  return FItemClass(name);
}

std::string THandleCache::KeyOf(const std::string& name) const {
  return FCaseSensitiveNames ? name : AnsiUpperCase(name);
}

TCacheItem* THandleCache::FindOrCreate(const std::string& name) {
  std::string key = KeyOf(name);
  const auto found = FItems.find(key);
  if (found != FItems.end()) return found->second.get();
  std::unique_ptr<TCacheItem> item;
  try {
    item = CreateItem(name);
  } catch (const std::exception&) {
    // The caller learns of the failure from kNoHandle and reports it.
    return nullptr;
  }
  if (!item) return nullptr;
  return FItems.emplace(std::move(key), std::move(item)).first->second.get();
}

bool THandleCache::IsExpired(const TCacheItem& item, uint32_t now) const {
  if (FExpiry < 0) return true;
  // Unsigned difference: correct across the wrap-around of the tick count.
  const uint32_t idle = now - item.LastUse();
  return static_cast<uint32_t>(FExpiry) < idle;
}

TReadFileCacheItem::TReadFileCacheItem(const std::string& fileName)
    : TCacheItem(fileName, OpenFileForSequentialRead(fileName)) {}

TReadFileCacheItem::~TReadFileCacheItem() { CloseHandle(Handle()); }

TReadFileCache::TReadFileCache()
    : THandleCache(
          [](const std::string& name) { return std::make_unique<TReadFileCacheItem>(name); },
          true) {}

}  // namespace quv
