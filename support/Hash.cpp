#include "support/Hash.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/Exception.h"
#include "support/CommaText.h"

namespace quv {

namespace {

uint32_t Read16(const unsigned char* p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }

uint32_t Read32(const unsigned char* p) { return Read16(p) | (Read16(p + 2) << 16); }

// A byte taken as a signed 8-bit number, widened to 32 bits.
uint32_t SignedByte(unsigned char b) {
  return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(b)));
}

bool AsciiEqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiUpperChar(a[i]) != AsciiUpperChar(b[i])) return false;
  return true;
}

bool IsPrime(int64_t n) {
  if (n <= 1) return false;
  if (n <= 3) return true;
  if (n % 6 != 1 && n % 6 != 5) return false;
  const int64_t limit = std::llround(std::sqrt(static_cast<double>(n)));
  for (int64_t k = 5; k <= limit; k += 6)
    if (n % k == 0 || n % (k + 2) == 0) return false;
  return true;
}

}  // namespace

uint32_t SuperFastHash(const void* data, std::size_t length) {
  if (data == nullptr || length == 0) return 0;
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t h = static_cast<uint32_t>(length);
  for (std::size_t groups = length / 4; groups > 0; --groups, p += 4) {
    h += Read16(p);
    const uint32_t t = (Read16(p + 2) << 11) ^ h;
    h = (h << 16) ^ t;
    h += h >> 11;
  }
  switch (length % 4) {
    case 3:
      h += Read16(p);
      h ^= h << 16;
      h ^= SignedByte(p[2]) << 18;
      h += h >> 11;
      break;
    case 2:
      h += Read16(p);
      h ^= h << 11;
      h += h >> 17;
      break;
    case 1:
      h += SignedByte(p[0]);
      h ^= h << 10;
      h += h >> 1;
      break;
  }
  h ^= h << 3;
  h += h >> 5;
  h ^= h << 4;
  h += h >> 17;
  h ^= h << 25;
  h += h >> 6;
  return h;
}

uint32_t StringHash(std::string_view s) { return SuperFastHash(s.data(), s.size()); }

uint32_t CaseInsensitiveHash(std::string_view s) {
  uint32_t h = 0;
  for (const char c : s) {
    h += static_cast<unsigned char>(AsciiUpperChar(c));
    h += h << 10;
    h ^= h >> 6;
  }
  return h;
}

uint32_t WordSumHash(std::string_view s) {
  if (s.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  uint32_t a = 0;
  uint32_t b = 0;
  const std::size_t whole = s.size() / 4;
  for (std::size_t i = 0; i < whole; ++i, p += 4) {
    a += Read32(p);
    b += a;
  }
  uint32_t tail = 0;
  for (std::size_t i = 0; i < s.size() % 4; ++i) tail |= static_cast<uint32_t>(p[i]) << (8 * i);
  a += tail;
  b += a;
  return (b << 16) ^ a;
}

int32_t HashCapacityFor(int32_t n) {
  int64_t capacity = std::llrint(static_cast<double>(n) * 1.2);
  while (!IsPrime(capacity)) ++capacity;
  if (capacity > std::numeric_limits<int32_t>::max())
    throw Exception("Hash capacity too large: " + std::to_string(n));
  return static_cast<int32_t>(capacity);
}

// THashValue

THashValue& THashValue::operator=(THashValue&& other) noexcept {
  if (this != &other) {
    Reset();
    Swap(other);
  }
  return *this;
}

THashOwnership THashValue::Kind() const noexcept {
  if (FRelease == nullptr) return THashOwnership::NotOwned;
  return FRelease == &ReleaseBlock ? THashOwnership::MemoryBlocks : THashOwnership::Objects;
}

void THashValue::Reset() noexcept {
  if (FRelease != nullptr && FPointer != nullptr) FRelease(FPointer);
  FPointer = nullptr;
  FRelease = nullptr;
}

void THashValue::Swap(THashValue& other) noexcept {
  std::swap(FPointer, other.FPointer);
  std::swap(FRelease, other.FRelease);
}

// THashList

THashList::THashList(int32_t capacity, THashListMode mode) : FMode(mode) {
  SetCapacity(std::max(capacity, 50));
}

THashList::~THashList() { Empty(); }

uint32_t THashList::HashOf(std::string_view key) const {
  return FMode.CaseInsensitive ? CaseInsensitiveHash(key) : StringHash(key);
}

// |hash mod Capacity| with hash taken as signed, which is |hash| mod Capacity;
// the remainder comes from two multiplications instead of a division (exact
// for every 32-bit number and divisor).
int32_t THashList::BucketOfHash(uint32_t hash) const {
  const uint32_t magnitude = static_cast<int32_t>(hash) < 0 ? 0u - hash : hash;
  const uint64_t fraction = FRemainderFactor * magnitude;
  return static_cast<int32_t>(
      (static_cast<unsigned __int128>(fraction) * static_cast<uint32_t>(FCapacity)) >> 64);
}

int32_t THashList::BucketOf(std::string_view key) const { return BucketOfHash(HashOf(key)); }

bool THashList::Equal(std::string_view a, std::string_view b) const {
  return FMode.CaseInsensitive ? AsciiEqualIgnoringCase(a, b) : a == b;
}

void THashList::Add(std::string_view key, THashValue value) {
  if (!value.IsNil() && value.Kind() != FMode.Ownership)
    throw Exception("Hash list value does not match its ownership: " + std::string(key));
  const uint32_t hash = HashOf(key);
  const int32_t index = BucketOfHash(hash);
  TBucket& bucket = FBuckets[index];
  if (!bucket.Used()) {
    bucket.Chain = kNone;
    bucket.Hash = hash;
    bucket.Key = key;
    bucket.Value = std::move(value);
    if (FLast >= 0) FBuckets[FLast].Next = index;
    FLast = index;
    if (FFirst < 0) FFirst = index;
    ++FCount;
    return;
  }
  ++FCollisions;
  if (bucket.Hash == hash && Equal(bucket.Key, key))
    return ApplyDuplicate(key, bucket.Value, std::move(value));
  int32_t last = kNone;
  for (int32_t n = bucket.Chain; n != kNone; n = FNodes[n].Next) {
    TNode& node = FNodes[n];
    if (node.Hash == hash && Equal(node.Key, key))
      return ApplyDuplicate(key, node.Value, std::move(value));
    last = n;
  }
  const auto added = static_cast<int32_t>(FNodes.size());
  FNodes.push_back(TNode{hash, kNone, std::string(key), std::move(value)});
  (last == kNone ? bucket.Chain : FNodes[last].Next) = added;
  ++FCount;
}

// An ignored or refused value is released as it goes out of scope; an overwritten owned value is
// released by the assignment, so neither leaks.
void THashList::ApplyDuplicate(std::string_view key, THashValue& existing, THashValue&& value) {
  switch (FMode.Duplicates) {
    case THashDuplicates::Error:
      throw Exception("Duplicated item: " + std::string(key));
    case THashDuplicates::Ignore:
      return;
    default:
      existing = std::move(value);
  }
}

bool THashList::Find(std::string_view key, void*& value) const {
  if (FCapacity < 1) return false;
  const uint32_t hash = HashOf(key);
  const TBucket& bucket = FBuckets[BucketOfHash(hash)];
  if (!bucket.Used()) return false;
  if (bucket.Hash == hash && Equal(bucket.Key, key)) {
    value = bucket.Value.Get();
    return true;
  }
  for (int32_t n = bucket.Chain; n != kNone; n = FNodes[n].Next) {
    const TNode& node = FNodes[n];
    if (node.Hash == hash && Equal(node.Key, key)) {
      value = node.Value.Get();
      return true;
    }
  }
  return false;
}

bool THashList::Exists(std::string_view key) const {
  void* ignored = nullptr;
  return Find(key, ignored);
}

void THashList::ForEach(const std::function<void(const std::string&, void*)>& visit) const {
  for (int32_t i = FFirst; i >= 0; i = FBuckets[i].Next) {
    const TBucket& bucket = FBuckets[i];
    visit(bucket.Key, bucket.Value.Get());
    for (int32_t n = bucket.Chain; n != kNone; n = FNodes[n].Next)
      visit(FNodes[n].Key, FNodes[n].Value.Get());
  }
}

// Releases every value in iteration order, announcing each to OnRelease first. A bucket whose own
// value is nil and which has no chain is passed over without an announcement.
void THashList::Empty() {
  for (int32_t i = FFirst; i >= 0; i = FBuckets[i].Next) {
    TBucket& bucket = FBuckets[i];
    if (bucket.Value.IsNil() && bucket.Chain == kNone) continue;
    if (FOnRelease) FOnRelease(*this, bucket.Value.Get());
    bucket.Value.Reset();
    for (int32_t n = bucket.Chain; n != kNone; n = FNodes[n].Next) {
      if (FOnRelease) FOnRelease(*this, FNodes[n].Value.Get());
      FNodes[n].Value.Reset();
    }
  }
  FBuckets.clear();
  FNodes.clear();
  FCount = 0;
  FCollisions = 0;
  FFirst = -1;
  FLast = -1;
}

// The new buckets are allocated before anything changes, so that a failed allocation leaves the
// table as it was.
void THashList::ReplaceBuckets(int32_t capacity) {
  std::vector<TBucket> buckets(static_cast<std::size_t>(capacity));
  Empty();
  FBuckets = std::move(buckets);
  FCapacity = capacity;
  FRemainderFactor = UINT64_MAX / static_cast<uint32_t>(capacity) + 1;
}

void THashList::Clear() { ReplaceBuckets(FCapacity); }

void THashList::SetCapacity(int32_t n) {
  if (n <= FCapacity) return;
  ReplaceBuckets(HashCapacityFor(n));
}

void THashList::LoadCommaText(std::string_view text) {
  const std::vector<std::string> items = SplitCommaText(text);
  SetCapacity(static_cast<int32_t>(std::min<std::size_t>(items.size(), INT32_MAX)));
  for (const std::string& item : items) Add(item, nullptr);
}

// THash

THash::THash() : FKeys(kSize) {}

int32_t THash::FindIndex(std::string_view key) const {
  const uint32_t hash = WordSumHash(key);
  for (const THashRecord& record : FKeys[hash & kMask])
    if (record.Hash == hash && record.Key == key) return record.Index;
  return -1;
}

int32_t THash::AddKey(std::string_view key) {
  const uint32_t hash = WordSumHash(key);
  const int32_t index = HighestIndex() + 1;
  FKeys[hash & kMask].push_back(THashRecord{hash, index, std::string(key)});
  return index;
}

void THash::Clear() {
  ClearIndexes();
  for (auto& bucket : FKeys) bucket.clear();
}

// TIntegerHash

int32_t TIntegerHash::GetItem(std::string_view key) const {
  const int32_t index = FindIndex(key);
  return index < 0 ? -1 : FValues[index];
}

void TIntegerHash::SetItem(std::string_view key, int32_t value) {
  int32_t index = FindIndex(key);
  if (index < 0) {
    index = AddKey(key);
    FValues.resize(index + 1);
  }
  FValues[index] = value;
}

}  // namespace quv
