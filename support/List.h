#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Exception.h"

namespace quv {

// A TList index or capacity out of range; Value is the offending number.
class EListError : public Exception {
 public:
  EListError(const std::string& message, int64_t value) : Exception(message), FValue(value) {}
  int64_t Value() const noexcept { return FValue; }

 private:
  int64_t FValue;
};

// A list of pointer-sized values that owns none of them. Not thread-safe.
class TList final {
 public:
  static constexpr int32_t kMaxListSize = 134217728;

  TList() = default;
  TList(const TList&) = delete;
  TList& operator=(const TList&) = delete;

  // Appends `item`, growing the capacity when full; returns its index.
  int32_t Add(void* item);
  // Removes the item at `index`, moving the tail down.
  void Delete(int32_t index);
  void* Get(int32_t index) const;
  // The index of the first `item`, or -1.
  int32_t IndexOf(const void* item) const;
  // Deletes the first `item`; returns its former index, or -1.
  int32_t Remove(const void* item);
  void SetCapacity(int64_t capacity);
  // New slots are null.
  void SetCount(int64_t count);
  void Clear();

  int32_t Count() const { return FCount; }
  int32_t Capacity() const { return FCapacity; }

 private:
  void Grow();
  void CheckIndex(int32_t index) const;

  std::unique_ptr<void*[]> FItems;
  int32_t FCount = 0;
  int32_t FCapacity = 0;
};

}  // namespace quv
