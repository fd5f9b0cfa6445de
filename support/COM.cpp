#include "support/COM.h"

#include <algorithm>

namespace quv {

namespace {

unsigned char AsciiUpper(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'a' && byte <= 'z' ? byte - ('a' - 'A') : byte;
}

}  // namespace

HResult TInterfacedObject::QueryInterface(const TGUID& iid, void** object) {
  if (iid == IInterface::IID) return Found(static_cast<IInterface*>(this), object);
  *object = nullptr;
  return kNoInterface;
}

int32_t TInterfacedObject::AddRef() { return FRefCount.fetch_add(1) + 1; }

int32_t TInterfacedObject::Release() {
  const int32_t count = FRefCount.fetch_sub(1) - 1;
  if (count == 0) {
    // References taken and dropped while the object goes away (a listener
    // holding its sender, say) must not destroy it a second time.
    FRefCount.store(1);
    BeforeRelease();
    delete this;
  }
  return count;
}

HResult TInterfacedObject::Found(void* part, void** object) {
  AddRef();
  *object = part;
  return kOk;
}

HResult TCOMObject::QueryInterface(const TGUID& iid, void** object) {
  if (iid == INotifier::IID) return Found(static_cast<INotifier*>(this), object);
  return TInterfacedObject::QueryInterface(iid, object);
}

int32_t TCOMObject::AddListener(IListener* listener) {
  if (listener == nullptr) return -1;
  const int32_t index = FListeners.Add(listener);
  listener->AddRef();
  return index;
}

void TCOMObject::RemoveListener(IListener* listener) {
  if (FListeners.Remove(listener) >= 0) listener->Release();
}

void TCOMObject::NotifyListeners() {
  while (FListeners.Count() > 0) {
    // Takes over the list's reference, dropped once the listener returns.
    const auto listener = TRef<IListener>::Adopt(static_cast<IListener*>(FListeners.Get(0)));
    FListeners.Delete(0);
    listener->Notify(this);
  }
}

TCOMObject::~TCOMObject() {
  NotifyListeners();
  FController.Reset();
}

HResult TString::QueryInterface(const TGUID& iid, void** object) {
  if (iid == IString::IID) return Found(static_cast<IString*>(this), object);
  return TInterfacedObject::QueryInterface(iid, object);
}

int32_t TString::Compare(std::string_view text) const {
  const std::size_t common = std::min(FText.size(), text.size());
  for (std::size_t i = 0; i < common; ++i) {
    const int diff = AsciiUpper(FText[i]) - AsciiUpper(text[i]);
    if (diff != 0) return diff;
  }
  return FText.size() < text.size() ? -1 : FText.size() > text.size() ? 1 : 0;
}

void TString::Assign(const IString* other) { FText = IntfToStr(other); }

TRef<IString> StrToIntf(std::string_view text) {
  return TRef<IString>(new TString(std::string(text)));
}

std::string IntfToStr(const IString* text) {
  if (text == nullptr || text->Length() == 0) return {};
  return std::string(text->Chars(), static_cast<std::size_t>(text->Length()));
}

}  // namespace quv
