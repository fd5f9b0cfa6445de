#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/List.h"

namespace quv {

// An interface identifier, in the usual 8-4-4-4-12 hexadecimal order.
struct TGUID {
  uint32_t D1;
  uint16_t D2;
  uint16_t D3;
  std::array<uint8_t, 8> D4;
  bool operator==(const TGUID&) const = default;
};

// QueryInterface results.
using HResult = int32_t;
inline constexpr HResult kOk = 0;
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80004002);

// The basic interface of reference-counted objects. Only Release destroys
// them, so the destructor is not public. Interfaces derive from it
// virtually, so an object has one count however many interfaces it has.
class IInterface {
 public:
  static constexpr TGUID IID = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  // On success takes a reference and sets *object to the interface `iid`
  // names; else sets it to null and returns kNoInterface.
  virtual HResult QueryInterface(const TGUID& iid, void** object) = 0;
  // Both return the new count.
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;

 protected:
  ~IInterface() = default;
};

// A counted reference to an object or interface: holds one reference for as
// long as it points at it.
template <class T>
class TRef final {
 public:
  TRef() = default;
  TRef(std::nullptr_t) {}
  explicit TRef(T* object) : FObject(object) {
    if (FObject) FObject->AddRef();
  }
  template <class U>
  requires std::is_convertible_v<U*, T*> TRef(const TRef<U>& other) : TRef(other.Get()) {}
  TRef(const TRef& other) : TRef(other.FObject) {}
  TRef(TRef&& other) noexcept : FObject(std::exchange(other.FObject, nullptr)) {}
  TRef& operator=(TRef other) noexcept {
    std::swap(FObject, other.FObject);
    return *this;
  }
  ~TRef() {
    if (FObject) FObject->Release();
  }

  // Takes over a reference the caller already holds.
  static TRef Adopt(T* object) {
    TRef ref;
    ref.FObject = object;
    return ref;
  }

  T* Get() const { return FObject; }
  T* operator->() const { return FObject; }
  T& operator*() const { return *FObject; }
  explicit operator bool() const { return FObject != nullptr; }
  void Reset() { TRef().Swap(*this); }
  void Swap(TRef& other) noexcept { std::swap(FObject, other.FObject); }

 private:
  T* FObject = nullptr;
};

// The interface `I` of `object`, or null when it has none.
template <class I>
TRef<I> Supports(IInterface* object) {
  void* found = nullptr;
  if (object == nullptr || object->QueryInterface(I::IID, &found) != kOk) return nullptr;
  return TRef<I>::Adopt(static_cast<I*>(found));
}

// The standard reference-counted object: the count starts at 0 and the
// object destroys itself when it drops back to 0. Counting is thread-safe.
class TInterfacedObject : public virtual IInterface {
 public:
  HResult QueryInterface(const TGUID& iid, void** object) override;
  int32_t AddRef() override;
  int32_t Release() override;
  int32_t RefCount() const { return FRefCount.load(); }

 protected:
  TInterfacedObject() = default;
  virtual ~TInterfacedObject() = default;
  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;

  // Called once when the count drops to 0, just before destruction.
  virtual void BeforeRelease() {}
  // Answers a query with `part`, this object seen as the interface asked for.
  HResult Found(void* part, void** object);

 private:
  std::atomic<int32_t> FRefCount{0};
};

class INotifier;

// Told that a notifier it was added to notifies; it is then off the list.
class IListener : public virtual IInterface {
 public:
  virtual void Notify(INotifier* sender) = 0;
};

// An object that notifies its listeners, once each, when it goes away.
class INotifier : public virtual IInterface {
 public:
  static constexpr TGUID IID = {
      0x1F1339D4, 0xBFB6, 0x44D3, {0x9A, 0xD7, 0x8C, 0x0E, 0x21, 0xC8, 0x23, 0x45}};
  // Returns the listener's index in the list, or -1 for null.
  virtual int32_t AddListener(IListener* listener) = 0;
  virtual void RemoveListener(IListener* listener) = 0;
  // Calls and drops each listener in the order they were added.
  virtual void NotifyListeners() = 0;
};

// The reference-counted base with a listener list and an optional
// controller. Make objects with Create, which runs Initialize on the finished
// object. Counting is thread-safe; listeners belong to the owning thread and
// must not raise, since they are also called while the object is destroyed.
class TCOMObject : public TInterfacedObject, public INotifier {
 public:
  explicit TCOMObject(TRef<IInterface> controller = nullptr) : FController(std::move(controller)) {}

  template <class T, class... Args>
  static TRef<T> Create(Args&&... args) {
    TRef<T> object(new T(std::forward<Args>(args)...));
    static_cast<TCOMObject*>(object.Get())->Initialize();
    return object;
  }

  HResult QueryInterface(const TGUID& iid, void** object) override;
  int32_t AddListener(IListener* listener) override;
  void RemoveListener(IListener* listener) override;
  void NotifyListeners() override;
  IInterface* Controller() const { return FController.Get(); }
  int32_t ListenerCount() const { return FListeners.Count(); }

 protected:
  ~TCOMObject() override;
  virtual void Initialize() {}

 private:
  TRef<IInterface> FController;
  TList FListeners;  // IListener pointers, each holding a reference
};

// A reference-counted text.
class IString : public virtual IInterface {
 public:
  static constexpr TGUID IID = {
      0x14868C99, 0x8180, 0x4548, {0x83, 0x12, 0x23, 0x9E, 0x8E, 0x51, 0xDD, 0x3C}};
  virtual void Append(std::string_view text) = 0;
  // Negative, 0 or positive; the letters a-z match A-Z, other bytes compare
  // by value.
  virtual int32_t Compare(std::string_view text) const = 0;
  virtual bool Equals(std::string_view text) const = 0;
  // The characters, NUL-terminated; null when the text is empty.
  virtual const char* Chars() const = 0;
  // Null sets the empty text.
  virtual void SetChars(const char* chars) = 0;
  virtual void Assign(const IString* other) = 0;
  virtual int32_t Length() const = 0;
};

class TString final : public TInterfacedObject, public IString {
 public:
  explicit TString(std::string text = {}) : FText(std::move(text)) {}

  HResult QueryInterface(const TGUID& iid, void** object) override;
  void Append(std::string_view text) override { FText += text; }
  int32_t Compare(std::string_view text) const override;
  bool Equals(std::string_view text) const override { return Compare(text) == 0; }
  const char* Chars() const override { return FText.empty() ? nullptr : FText.c_str(); }
  void SetChars(const char* chars) override { FText = chars ? chars : ""; }
  void Assign(const IString* other) override;
  int32_t Length() const override { return static_cast<int32_t>(FText.size()); }

 private:
  ~TString() override = default;

  std::string FText;
};

// A new text interface holding `text`.
TRef<IString> StrToIntf(std::string_view text);
// The text of `text`; the empty text for null.
std::string IntfToStr(const IString* text);

}  // namespace quv
