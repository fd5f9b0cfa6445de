#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/COM.h"
#include "support/Variant.h"

namespace quv {

// The items of a set constant such as [1, 'a', b]: each item is the text of
// its token.
class ISet : public virtual IInterface {
 public:
  static constexpr TGUID IID = {
      0xE0D7AF5F, 0x8BE6, 0x485E, {0xB8, 0x7B, 0x81, 0xEB, 0x29, 0x0B, 0xE5, 0xC1}};
  virtual int32_t Count() const = 0;
  // Raises Exception for an index outside 0 .. Count - 1.
  virtual TVariant Item(int32_t index) const = 0;
  // Whether an item's text equals `text` exactly.
  virtual bool Contains(std::string_view text) const = 0;
};

// A singly linked list of Variants, filled while a set constant is read.
class TVariantLinkedList final {
 public:
  TVariantLinkedList() = default;
  TVariantLinkedList(const TVariantLinkedList&) = delete;
  TVariantLinkedList& operator=(const TVariantLinkedList&) = delete;
  ~TVariantLinkedList() { Take(); }
  void Add(TVariant value);
  int32_t Count() const { return FCount; }
  // Empties the list into a vector, first item first.
  std::vector<TVariant> Take();

 private:
  struct TNode {
    TVariant Value;
    std::unique_ptr<TNode> Next;
  };
  std::unique_ptr<TNode> FFirst;
  TNode* FLast = nullptr;
  int32_t FCount = 0;
};

// The set of a constant: immutable after creation, so copies of the Variant
// that holds it may be read on any thread.
class TSetImpl final : public TInterfacedObject, public ISet {
 public:
  explicit TSetImpl(std::vector<TVariant> items);
  HResult QueryInterface(const TGUID& iid, void** object) override;
  int32_t Count() const override { return static_cast<int32_t>(FItems.size()); }
  TVariant Item(int32_t index) const override;
  bool Contains(std::string_view text) const override;

 private:
  std::vector<TVariant> FItems;
  std::vector<std::string> FTexts;
};

// The set a Variant holds, or null.
TRef<ISet> SetOf(const TVariant& value);

}  // namespace quv
