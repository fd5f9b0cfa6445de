#include "expr/ExprSet.h"

#include <algorithm>

#include "platform/Exception.h"

namespace quv {

void TVariantLinkedList::Add(TVariant value) {
  auto node = std::make_unique<TNode>(TNode{std::move(value), nullptr});
  TNode* added = node.get();
  if (FLast) {
    FLast->Next = std::move(node);
  } else {
    FFirst = std::move(node);
  }
  FLast = added;
  ++FCount;
}

// Unlinks node by node: a long list must not be destroyed recursively.
std::vector<TVariant> TVariantLinkedList::Take() {
  std::vector<TVariant> items;
  items.reserve(std::size_t(FCount));
  while (FFirst) {
    items.push_back(std::move(FFirst->Value));
    FFirst = std::move(FFirst->Next);
  }
  FLast = nullptr;
  FCount = 0;
  return items;
}

TSetImpl::TSetImpl(std::vector<TVariant> items) : FItems(std::move(items)) {
  FTexts.reserve(FItems.size());
  for (const TVariant& item : FItems) FTexts.push_back(item.ToText());
}

HResult TSetImpl::QueryInterface(const TGUID& iid, void** object) {
  if (iid == ISet::IID) return Found(static_cast<ISet*>(this), object);
  return TInterfacedObject::QueryInterface(iid, object);
}

TVariant TSetImpl::Item(int32_t index) const {
  if (index < 0 || index >= Count()) {
    throw Exception("Set index " + std::to_string(index) + " out of bounds");
  }
  return FItems[std::size_t(index)];
}

bool TSetImpl::Contains(std::string_view text) const {
  return std::ranges::find(FTexts, text) != FTexts.end();
}

TRef<ISet> SetOf(const TVariant& value) { return Supports<ISet>(value.Interface()); }

}  // namespace quv
