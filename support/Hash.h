#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quv {

// The ASCII case folding of the case-insensitive table mode: only a-z change.
constexpr char AsciiUpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// SuperFastHash over `length` bytes (0 for a null buffer or no bytes).
uint32_t SuperFastHash(const void* data, std::size_t length);

// SuperFastHash over the bytes of a string; 0 for an empty string.
uint32_t StringHash(std::string_view s);

// The hash of the case-insensitive table mode: a-z count as A-Z, no final mixing.
uint32_t CaseInsensitiveHash(std::string_view s);

// The key hash of TIntegerHash: sums of little-endian 32-bit words.
uint32_t WordSumHash(std::string_view s);

// The smallest prime not below n * 1.2 rounded to the nearest integer.
int32_t HashCapacityFor(int32_t n);

// What a THashList does with the values it holds when it is emptied.
enum class THashOwnership : uint8_t { NotOwned = 0, MemoryBlocks = 1, Objects = 2 };

// What THashList::Add does with a key that is already present.
enum class THashDuplicates : uint8_t { Error = 0, Ignore = 1, Overwrite = 2 };

struct TFreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};
// A block from std::malloc, released with std::free.
using TMemoryBlock = std::unique_ptr<void, TFreeDeleter>;

// The pointer-sized value of a THashList item. Move-only; a value made from a memory block or an
// object owns it and releases it when destroyed, so no path through the table leaks it. A value
// made from a plain pointer or number borrows and never releases.
class THashValue final {
 public:
  THashValue() noexcept = default;
  THashValue(std::nullptr_t) noexcept {}
  THashValue(void* borrowed) noexcept : FPointer(borrowed) {}
  THashValue(TMemoryBlock block) noexcept : FPointer(block.release()), FRelease(&ReleaseBlock) {}
  template <class T>
  THashValue(std::unique_ptr<T> object) noexcept
      : FPointer(object.release()), FRelease(&ReleaseObject<T>) {}
  static THashValue FromInt(intptr_t n) noexcept { return THashValue(reinterpret_cast<void*>(n)); }

  THashValue(THashValue&& other) noexcept { Swap(other); }
  THashValue& operator=(THashValue&& other) noexcept;
  THashValue(const THashValue&) = delete;
  THashValue& operator=(const THashValue&) = delete;
  ~THashValue() { Reset(); }

  void* Get() const noexcept { return FPointer; }
  intptr_t AsInt() const noexcept { return reinterpret_cast<intptr_t>(FPointer); }
  bool IsNil() const noexcept { return FPointer == nullptr; }
  // NotOwned for borrowed pointers and numbers.
  THashOwnership Kind() const noexcept;
  // Releases what the value owns and makes it nil.
  void Reset() noexcept;

 private:
  static void ReleaseBlock(void* block) noexcept { std::free(block); }
  template <class T>
  static void ReleaseObject(void* object) noexcept {
    delete static_cast<T*>(object);
  }
  void Swap(THashValue& other) noexcept;

  void* FPointer = nullptr;
  void (*FRelease)(void*) noexcept = nullptr;  // null for a borrowed value
};

// How a THashList compares keys, what it owns and how it treats duplicates; fixed at construction.
struct THashListMode {
  bool CaseInsensitive = false;  // keys compare with ASCII case folding
  THashOwnership Ownership = THashOwnership::NotOwned;
  THashDuplicates Duplicates = THashDuplicates::Error;
};

// A map from a string key to a THashValue over a fixed number of buckets (a prime); collisions
// chain in insertion order and the table never grows by itself. Single entries are never removed.
// Iteration and emptying follow the order in which buckets first became occupied, each bucket's
// chain in insertion order. Not thread-safe: a shared table needs its user's lock.
class THashList final {
 public:
  // Called with each value as the table is emptied, before the value is released. Must not throw.
  using TReleaseEvent = std::function<void(THashList& sender, void* value)>;

  explicit THashList(int32_t capacity = 50, THashListMode mode = {});
  THashList(const THashList&) = delete;
  THashList& operator=(const THashList&) = delete;
  ~THashList();

  // Inserts; a present key raises "Duplicated item: <key>", keeps the old value or overwrites it
  // as the mode says. A value of another ownership than the table's (nil aside) is refused.
  void Add(std::string_view key, THashValue value);
  bool Find(std::string_view key, void*& value) const;
  template <class T>
  bool Find(std::string_view key, T*& value) const {
    void* found = nullptr;
    const bool ok = Find(key, found);
    if (ok) value = static_cast<T*>(found);
    return ok;
  }
  bool Exists(std::string_view key) const;
  // Empties the table (releasing owned values) and keeps its capacity.
  void Clear();
  // Grows to the capacity for n, emptying the table; does nothing when n is not above Capacity.
  // When the buckets cannot be allocated the table stays as it was.
  void SetCapacity(int32_t n);
  // Adds every item of a comma text with a nil value, after SetCapacity(item count).
  void LoadCommaText(std::string_view text);
  // Visits every item in iteration order; the visitor must not add items.
  void ForEach(const std::function<void(const std::string& key, void* value)>& visit) const;

  int32_t BucketOf(std::string_view key) const;
  void SetOnRelease(TReleaseEvent onRelease) { FOnRelease = std::move(onRelease); }
  int32_t Capacity() const { return FCapacity; }
  int32_t Count() const { return FCount; }
  int32_t Collisions() const { return FCollisions; }
  const THashListMode& Mode() const { return FMode; }

 private:
  // A bucket is one cache line, so that a lookup that ends at a bucket's own
  // key touches one line (keys of over 15 bytes aside). Chains are index
  // links into one dense node array, which keeps them few lines apart.
  static constexpr int32_t kNone = -1;
  static constexpr int32_t kUnused = INT32_MIN;
  struct alignas(64) TBucket {
    std::string Key;
    THashValue Value;
    uint32_t Hash = 0;
    int32_t Chain =
        kUnused;           // the first overflow node, kNone, or kUnused while the bucket is empty
    int32_t Next = kNone;  // the next used bucket in insertion order
    bool Used() const { return Chain != kUnused; }
  };
  static_assert(sizeof(TBucket) == 64);
  struct TNode {
    uint32_t Hash;
    int32_t Next;  // the next node of the chain, or kNone
    std::string Key;
    THashValue Value;
  };

  uint32_t HashOf(std::string_view key) const;
  int32_t BucketOfHash(uint32_t hash) const;
  bool Equal(std::string_view a, std::string_view b) const;
  void Empty();
  // Empties the table and gives it `capacity` empty buckets.
  void ReplaceBuckets(int32_t capacity);
  void ApplyDuplicate(std::string_view key, THashValue& existing, THashValue&& value);

  std::vector<TBucket> FBuckets;
  std::vector<TNode> FNodes;
  int32_t FCapacity = 0;
  uint64_t FRemainderFactor = 0;  // turns the remainder by FCapacity into multiplications
  TReleaseEvent FOnRelease;
  THashListMode FMode;
  int32_t FCollisions = 0;
  int32_t FCount = 0;
  int32_t FFirst = -1;
  int32_t FLast = -1;
};

// A map from a case-sensitive string key to a position in a derived class's value array, over
// 128 buckets; each bucket keeps its keys in insertion order. Not thread-safe.
class THash {
 public:
  THash();
  virtual ~THash() = default;
  // Forgets every key and value; the bucket count stays.
  void Clear();

  static constexpr int32_t kExponent = 7;
  static constexpr int32_t kSize = 1 << kExponent;
  static constexpr int32_t kMask = kSize - 1;

 protected:
  // The value position of key, or -1.
  int32_t FindIndex(std::string_view key) const;
  // Enters a key that FindIndex did not find and returns its new value position.
  int32_t AddKey(std::string_view key);

  virtual void ClearIndexes() = 0;
  virtual int32_t HighestIndex() const = 0;

 private:
  struct THashRecord {
    uint32_t Hash;
    int32_t Index;
    std::string Key;
  };
  std::vector<std::vector<THashRecord>> FKeys;
};

// A map from a case-sensitive string key to a 32-bit integer. Not thread-safe.
class TIntegerHash final : public THash {
 public:
  // The value under key, or -1 when the key is absent.
  int32_t GetItem(std::string_view key) const;
  void SetItem(std::string_view key, int32_t value);

 protected:
  void ClearIndexes() override { FValues.clear(); }
  int32_t HighestIndex() const override { return static_cast<int32_t>(FValues.size()) - 1; }

 private:
  std::vector<int32_t> FValues;
};

}  // namespace quv
