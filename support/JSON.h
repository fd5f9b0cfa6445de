#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Exception.h"
#include "support/Hash.h"
#include "support/Variant.h"

// JSON values: scalar elements and two containers (an indexed list and an
// object of named members), a parser of 8-bit texts and a writer of pure-ASCII
// texts without whitespace. doc/json.md describes the text forms.
//
// Choices of this implementation:
// - Strings are UTF-16 (std::u16string). The parser reads the text as 8-bit
//   characters, each byte becoming the code unit of the same value, and
//   \uXXXX gives any unit. Value() hands a string out, and SetValue takes a
//   text in, as Windows-1252 bytes; member names are kept as Windows-1252
//   bytes (converted from UTF-16 when parsed).
// - ParseJSON always builds a tree; there is no event-sink mode.
// - Containers nest at most kMaxJSONDepth deep; a deeper one raises
//   TJSONError "Nesting deeper than 1000 levels at position %d" (at its
//   bracket), so hostile texts cannot exhaust the stack.
// - The text is the whole string_view: a zero byte is an ordinary character.
// - A number that a double cannot hold (a lone "-", "1e400", "1e-400")
//   raises the variant's conversion error EVariantError.
// - A float is written with 15 significant digits; the few finite values
//   whose 15-digit form lies beyond the largest double get 17 digits, so
//   that every written text reads back. NaN and infinities have no JSON form
//   and raise "Unsupported data type in TJSONbase.Text".
// - Visiting takes one std::function, which stands for both the plain and
//   the method callback.
// - A missing element (null) put into a container becomes a null element,
//   so containers never hold nothing.
namespace quv {

class TJSONarray;

// Every failure of this unit but the number conversion.
class TJSONError : public Exception {
 public:
  using Exception::Exception;
};

// The kind of an element; the values are those of the document model.
enum class TJSONKind : uint8_t {
  Null = 0,
  Boolean = 1,
  Integer = 2,  // int32
  Float = 3,    // double
  String = 4,   // UTF-16
  List = 5,
  Object = 6,
};

inline constexpr int32_t kMaxJSONDepth = 1000;

// The growable byte buffer elements write themselves into: 50000 bytes at
// first, grown by steps of 50000.
class TJSONTextBuffer final {
 public:
  static constexpr std::size_t kGrowth = 50000;

  TJSONTextBuffer();
  TJSONTextBuffer(const TJSONTextBuffer&) = delete;
  TJSONTextBuffer& operator=(const TJSONTextBuffer&) = delete;

  // Room for `count` more bytes; the pointer stays valid until the next call.
  char* Reserve(std::size_t count) {
    if (count > FCapacity - FSize) Grow(count);
    return FData.get() + FSize;
  }
  void Commit(std::size_t count) { FSize += count; }
  void Append(char c) {
    *Reserve(1) = c;
    ++FSize;
  }
  void Append(std::string_view text);
  std::string_view View() const { return {FData.get(), FSize}; }

 private:
  struct TFree {
    void operator()(char* block) const noexcept;
  };
  void Grow(std::size_t count);

  std::unique_ptr<char, TFree> FData;
  std::size_t FSize = 0;
  std::size_t FCapacity = 0;
};

class TJSONbase;

// Called for each item of a container, in order, until it sets `stop`. A
// list names its items by their position in decimal, an object by their
// member names.
using TJSONVisitor =
    std::function<void(const std::string& name, TJSONbase& element, void* data, bool& stop)>;

// One element: a scalar (null, Boolean, integer, float or string, or a
// container given through SetValue) and the base of the containers. An
// element belongs to its container and goes with it; one thread at a time.
class TJSONbase : public TObject {
 public:
  TJSONbase();  // null
  explicit TJSONbase(bool value);
  explicit TJSONbase(int32_t value);
  explicit TJSONbase(double value);
  explicit TJSONbase(std::u16string value);
  explicit TJSONbase(const char16_t* value) : TJSONbase(std::u16string(value)) {}
  // Other pointers would silently become Booleans.
  template <class T>
  TJSONbase(T*) = delete;
  ~TJSONbase() override;
  TJSONbase(const TJSONbase&) = delete;
  TJSONbase& operator=(const TJSONbase&) = delete;

  // The containing element, or null for a top-level element.
  TJSONbase* Owner() const { return FOwner; }
  virtual TJSONKind Kind() const;

  // A copy of the value: null, Boolean, integer, double, Windows-1252 text,
  // or a borrowed reference to the container the element holds.
  virtual TVariant Value() const;
  // Sets the kind from the variant's type: Boolean; empty or null; integer;
  // double or currency (as a double); text (converted to UTF-16); or an
  // object reference to a TJSONlist or TJSONobject that no element holds,
  // which this element then owns (hand it over with release()).
  virtual void SetValue(const TVariant& value);

  // The JSON text of the element.
  std::string Text() const;
  virtual void WriteTo(TJSONTextBuffer& out) const;

  // The item at `index`, or null outside the container.
  virtual TJSONbase* Item(int32_t index) const;
  // Replaces the item at `index`, destroying the old one.
  virtual void SetItem(int32_t index, std::unique_ptr<TJSONbase> element);
  // The member `name`, or null.
  virtual TJSONbase* Item(std::string_view name) const;
  // Replaces the member `name`, or adds it when absent.
  virtual void SetItem(std::string_view name, std::unique_ptr<TJSONbase> element);
  // The member name at `index`.
  virtual std::string NameOf(int32_t index) const;
  virtual int32_t Count() const;
  // Destroys every item; nothing for a scalar.
  virtual void Clear();
  // Calls `visitor` for each item with `data`; nothing for a scalar.
  virtual void Visit(const TJSONVisitor& visitor, void* data);

 protected:
  friend class TJSONarray;
  // The container holding this element; null for a top-level element.
  TJSONbase* FOwner = nullptr;

 private:
  // Monostate is null; the container is one handed over through SetValue.
  using TValue = std::variant<std::monostate, bool, int32_t, double, std::u16string,
                              std::unique_ptr<TJSONarray>>;
  void TakeContainer(TObject* object);

  TValue FValue;
};

// The common base of the two containers: an ordered list of owned elements.
class TJSONarray : public TJSONbase {
 public:
  TVariant Value() const override;
  void SetValue(const TVariant& value) override;
  TJSONbase* Item(int32_t index) const override;
  void SetItem(int32_t index, std::unique_ptr<TJSONbase> element) override;
  using TJSONbase::Item;
  using TJSONbase::SetItem;
  int32_t Count() const override { return static_cast<int32_t>(FItems.size()); }

 protected:
  TJSONarray();
  // Takes `element` (a new null element for null) as this container's child.
  std::unique_ptr<TJSONbase> Adopt(std::unique_ptr<TJSONbase> element);
  // Visits every item, naming each by `nameOf`.
  void VisitItems(const TJSONVisitor& visitor, void* data,
                  const std::function<std::string(int32_t)>& nameOf);

  std::vector<std::unique_ptr<TJSONbase>> FItems;
};

// An indexed array.
class TJSONlist final : public TJSONarray {
 public:
  TJSONlist() = default;

  TJSONKind Kind() const override { return TJSONKind::List; }
  void WriteTo(TJSONTextBuffer& out) const override;
  // Null for an empty list; raises for any other.
  TJSONbase* Item(std::string_view name) const override;
  void SetItem(std::string_view name, std::unique_ptr<TJSONbase> element) override;
  std::string NameOf(int32_t index) const override;
  void Clear() override { FItems.clear(); }
  void Visit(const TJSONVisitor& visitor, void* data) override;
  using TJSONarray::Item;
  using TJSONarray::SetItem;

  // Appends `element` (a new null element for null) and returns it.
  TJSONbase& Add(std::unique_ptr<TJSONbase> element);
};

// An object: members in the order they were added, each with a name. A name
// added twice keeps both members; lookup by name finds the later one.
class TJSONobject final : public TJSONarray {
 public:
  TJSONobject() = default;

  TJSONKind Kind() const override { return TJSONKind::Object; }
  void WriteTo(TJSONTextBuffer& out) const override;
  TJSONbase* Item(std::string_view name) const override;
  void SetItem(std::string_view name, std::unique_ptr<TJSONbase> element) override;
  std::string NameOf(int32_t index) const override;
  void Clear() override;
  void Visit(const TJSONVisitor& visitor, void* data) override;
  using TJSONarray::Item;
  using TJSONarray::SetItem;

  // Appends the member `name` (not empty) with `element` (a new null
  // element for null) and returns the element.
  TJSONbase& Add(std::string name, std::unique_ptr<TJSONbase> element);

 private:
  // The position of `name` (later members win), or -1.
  int32_t PositionOf(std::string_view name) const;

  std::vector<std::string> FNames;  // parallel to FItems
  // Name to position; built on the first lookup, so that parsing does not
  // hash names nobody asks for.
  mutable std::unique_ptr<TIntegerHash> FIndex;
};

// The top-level list or object of `text`, or null when the text is empty or
// only whitespace. Raises TJSONError (or EVariantError for a number the
// conversion rejects); no partial tree escapes.
std::unique_ptr<TJSONarray> ParseJSON(std::string_view text);

}  // namespace quv
