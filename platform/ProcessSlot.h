#pragma once

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

namespace quv {

// One process-wide object made by a scope: destroying the part ends the object.
class TScopePart {
 public:
  virtual ~TScopePart() = default;
};

// The parts of a scope, ended in the reverse order of their making.
class TScopeParts final {
 public:
  TScopeParts() = default;
  TScopeParts(const TScopeParts&) = delete;
  TScopeParts& operator=(const TScopeParts&) = delete;
  ~TScopeParts() {
    while (!FParts.empty()) FParts.pop_back();
  }
  void Add(std::unique_ptr<TScopePart> part) { FParts.push_back(std::move(part)); }

 private:
  std::vector<std::unique_ptr<TScopePart>> FParts;
};

// Raises the error for a process-wide object asked for while no scope holds it.
[[noreturn]] void RaiseNoProcessObject(const char* name);
// Raises the error for a second object made while the first still lives.
[[noreturn]] void RaiseProcessObjectTwice(const char* name);

// Where a unit finds its process-wide object of type T while a scope holds it.
// The slot itself is constant-initialised and owns nothing, so it needs no
// construction or destruction around main. Make() returns the part that owns
// the object; while the object is destroyed it can still be found, so that
// threads it joins may use it until they end. Reads are thread-safe; Make and
// the part's destruction happen while no other thread uses the object.
template <class T>
class TProcessSlot final {
 public:
  explicit constexpr TProcessSlot(const char* name) : FName(name) {}
  TProcessSlot(const TProcessSlot&) = delete;
  TProcessSlot& operator=(const TProcessSlot&) = delete;

  template <class... TArgs>
  std::unique_ptr<TScopePart> Make(TArgs&&... args) {
    if (FObject.load(std::memory_order_acquire) != nullptr) RaiseProcessObjectTwice(FName);
    return std::make_unique<TPart>(*this, std::forward<TArgs>(args)...);
  }
  // The object; raises an error naming it when no scope holds one.
  T& operator*() const {
    T* object = FObject.load(std::memory_order_acquire);
    if (object == nullptr) RaiseNoProcessObject(FName);
    return *object;
  }
  T* operator->() const { return &**this; }
  // The object, or nullptr outside every scope (for caches that can do without).
  T* Find() const { return FObject.load(std::memory_order_acquire); }

 private:
  class TPart final : public TScopePart {
   public:
    template <class... TArgs>
    explicit TPart(TProcessSlot& slot, TArgs&&... args)
        : FSlot(slot), FObject(std::make_unique<T>(std::forward<TArgs>(args)...)) {
      FSlot.FObject.store(FObject.get(), std::memory_order_release);
    }
    ~TPart() override {
      FObject.reset();
      FSlot.FObject.store(nullptr, std::memory_order_release);
    }

   private:
    TProcessSlot& FSlot;
    std::unique_ptr<T> FObject;
  };

  std::atomic<T*> FObject{nullptr};
  const char* const FName;
};

}  // namespace quv
