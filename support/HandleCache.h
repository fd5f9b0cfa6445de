#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/FileHandle.h"
#include "platform/Sync.h"

namespace quv {

// One cached handle with its use count, last-use tick and item lock. The
// counters are guarded by the owning cache's lock; the item lock is held by
// the user of the handle from Acquire to ReleaseHandle.
class TCacheItem {
 public:
  explicit TCacheItem(std::string name, THandle handle = kNoHandle)
      : FName(std::move(name)), FHandle(handle) {}
  virtual ~TCacheItem() = default;
  TCacheItem(const TCacheItem&) = delete;
  TCacheItem& operator=(const TCacheItem&) = delete;

  // Both return the new use count.
  virtual int32_t AddRef() { return ++FUseCount; }
  virtual int32_t Release() { return --FUseCount; }

  const std::string& Name() const { return FName; }
  THandle Handle() const { return FHandle; }
  int32_t UseCount() const { return FUseCount; }
  uint32_t LastUse() const { return FLastUse; }

 private:
  friend class THandleCache;

  const std::string FName;
  const THandle FHandle;
  uint32_t FLastUse = 0;
  int32_t FUseCount = 0;
  TCriticalSection FLock;
};

// Makes the item for a name; raises when the handle cannot be had.
using TCacheItemClass = std::function<std::unique_ptr<TCacheItem>(const std::string& name)>;

// Open handles keyed by name, shared by users in turn. Thread-safe. The cache
// lock is never held while waiting for an item lock. A handle is released by
// the thread that acquired it, and no handle may be in use when the cache is
// destroyed.
class THandleCache {
 public:
  explicit THandleCache(TCacheItemClass itemClass, bool caseSensitiveNames = false)
      : FItemClass(std::move(itemClass)), FCaseSensitiveNames(caseSensitiveNames) {}
  virtual ~THandleCache() = default;
  THandleCache(const THandleCache&) = delete;
  THandleCache& operator=(const THandleCache&) = delete;

  // The handle of `name`, opened on first use, with its item lock held until
  // ReleaseHandle; kNoHandle when the item cannot be made.
  THandle Acquire(const std::string& name);
  // Ends one use of `handle`. An idle item is closed at once when Expiry is 0
  // or `force` is set. A name not cached, an idle item or another handle than
  // the cached one is ignored.
  void ReleaseHandle(const std::string& name, THandle handle, bool force = false);
  // Closes idle items: all of them with `all` or a negative Expiry, else
  // those idle for longer than Expiry.
  void Expire(bool all);
  void ReleaseAll() { Expire(true); }
  void SetExpiry(int32_t ms);
  int32_t Expiry() const;
  int32_t Count() const;
  // The use count of `name`; 0 when it is not cached.
  int32_t UseCount(const std::string& name) const;

 protected:
  virtual std::unique_ptr<TCacheItem> CreateItem(const std::string& name);

 private:
  using TItems = std::map<std::string, std::unique_ptr<TCacheItem>>;

  std::string KeyOf(const std::string& name) const;
  TCacheItem* FindOrCreate(const std::string& name);
  bool IsExpired(const TCacheItem& item, uint32_t now) const;

  mutable TCriticalSection FLock;
  TItems FItems;
  int32_t FExpiry = 60000;
  const TCacheItemClass FItemClass;
  const bool FCaseSensitiveNames;
};

// A file opened for reading; the handle is closed with the item.
class TReadFileCacheItem final : public TCacheItem {
 public:
  explicit TReadFileCacheItem(const std::string& fileName);
  ~TReadFileCacheItem() override;
};

// A cache of files opened for reading. File names match as the file system
// compares them, byte for byte: folding case would hand out one file's handle
// for another file.
class TReadFileCache : public THandleCache {
 public:
  TReadFileCache();
};

}  // namespace quv
