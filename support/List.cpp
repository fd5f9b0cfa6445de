#include "support/List.h"

#include <algorithm>

namespace quv {

namespace {

constexpr const char* kIndexError = "List index out of bounds";
constexpr const char* kCapacityError = "List capacity exceed";

}  // namespace

int32_t TList::Add(void* item) {
  if (FCount == FCapacity) Grow();
  FItems[FCount] = item;
  return FCount++;
}

void TList::Delete(int32_t index) {
  CheckIndex(index);
  void** items = FItems.get();
  std::copy(items + index + 1, items + FCount, items + index);
  --FCount;
}

void* TList::Get(int32_t index) const {
  CheckIndex(index);
  return FItems[index];
}

int32_t TList::IndexOf(const void* item) const {
  void** const begin = FItems.get();
  void** const end = begin + FCount;
  void** const found = std::find(begin, end, item);
  return found == end ? -1 : static_cast<int32_t>(found - begin);
}

int32_t TList::Remove(const void* item) {
  const int32_t index = IndexOf(item);
  if (index >= 0) Delete(index);
  return index;
}

void TList::SetCapacity(int64_t capacity) {
  if (capacity < FCount || capacity >= kMaxListSize) throw EListError(kCapacityError, capacity);
  if (capacity == FCapacity) return;
  auto items = std::make_unique<void*[]>(capacity);
  std::copy(FItems.get(), FItems.get() + FCount, items.get());
  FItems = std::move(items);
  FCapacity = static_cast<int32_t>(capacity);
}

void TList::SetCount(int64_t count) {
  if (count < 0 || count >= kMaxListSize) throw EListError(kCapacityError, count);
  if (count > FCapacity) SetCapacity(count);
  if (count > FCount) std::fill(FItems.get() + FCount, FItems.get() + count, nullptr);
  FCount = static_cast<int32_t>(count);
}

void TList::Clear() {
  FItems.reset();
  FCount = 0;
  FCapacity = 0;
}

void TList::Grow() {
  const int32_t delta = FCapacity > 64 ? FCapacity / 4 : FCapacity > 8 ? 16 : 4;
  SetCapacity(static_cast<int64_t>(FCapacity) + delta);
}

void TList::CheckIndex(int32_t index) const {
  if (index < 0 || index >= FCount) throw EListError(kIndexError, index);
}

}  // namespace quv
