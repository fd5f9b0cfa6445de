#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"
#include "platform/ProcessSlot.h"
#include "support/Hash.h"
#include "support/Variant.h"

// JSON values: scalar elements and two containers (an indexed list and an
// object of named members), a parser of 8-bit texts and a writer of pure-ASCII
// texts without whitespace. doc/json.md describes the text forms.
//
// Choices of this implementation:
// - Strings are UTF-16. The parser reads the text as 8-bit
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
// - A parsed document keeps its elements, strings and names in one arena of
//   64 KB blocks owned by its top-level container, as fast parsers do: the
//   arena goes with the document, and an element replaced or cleared keeps
//   its memory until then. Blocks of documents that went wait, up to 64 MB,
//   for the next document. Elements made by callers live on the heap; both
//   kinds mix freely.
namespace quv {

class TJSONarray;
class TJSONParser;

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
  explicit TJSONbase(std::u16string_view value);
  explicit TJSONbase(const char16_t* value) : TJSONbase(std::u16string_view(value)) {}
  // Other pointers would silently become Booleans.
  template <class T>
  TJSONbase(T*) = delete;
  ~TJSONbase() override;
  TJSONbase(const TJSONbase&) = delete;
  TJSONbase& operator=(const TJSONbase&) = delete;

  // Elements live on the heap, or in the arena of a parsed document, whose
  // memory goes with the arena.
  static void* operator new(std::size_t size);
  static void operator delete(void* memory) noexcept;
  static void operator delete(TJSONbase* element, std::destroying_delete_t);

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
  friend class TJSONParser;
  using TArena = std::pmr::memory_resource;
  static void* operator new(std::size_t size, TArena& arena);
  static void operator delete(void* memory, TArena& arena) noexcept;
  // A string element over units that someone else keeps (a document's arena).
  explicit TJSONbase(std::u16string_view arenaUnits, TArena& arena);

  // The container holding this element; null for a top-level element.
  TJSONbase* FOwner = nullptr;

 private:
  union TPayload {
    bool Boolean;
    int32_t Integer;
    double Float;
    struct {
      const char16_t* Data;
      std::size_t Size;
    } String;
    TJSONarray* Container;  // owned; handed over through SetValue
  };
  // Frees heap string units or a held container and makes the element null.
  void Release() noexcept;
  void SetUnits(std::u16string_view units);
  void TakeContainer(TObject* object);
  std::u16string_view Units() const { return {FPayload.String.Data, FPayload.String.Size}; }

  TPayload FPayload{};
  TJSONKind FKind = TJSONKind::Null;  // a held container's kind for a scalar that holds one
  bool FInArena = false;              // the element's memory belongs to a document's arena
  bool FUnitsOnHeap = false;          // the string units were allocated with new[]
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
  friend class TJSONParser;
  explicit TJSONarray(TArena* arena);
  // Takes `element` (a new null element for null) as this container's child.
  std::unique_ptr<TJSONbase> Adopt(std::unique_ptr<TJSONbase> element);
  // Visits every item, naming each by `nameOf`.
  void VisitItems(const TJSONVisitor& visitor, void* data,
                  const std::function<std::string(int32_t)>& nameOf);

  // The arena of a parsed document, held by its top-level container and
  // released after the items.
  std::unique_ptr<TArena> FArena;
  std::pmr::vector<std::unique_ptr<TJSONbase>> FItems;
};

// An indexed array.
class TJSONlist final : public TJSONarray {
 public:
  TJSONlist() : TJSONarray(nullptr) {}

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

 private:
  friend class TJSONParser;
  explicit TJSONlist(TArena* arena) : TJSONarray(arena) {}
};

// An object: members in the order they were added, each with a name. A name
// added twice keeps both members; lookup by name finds the later one.
class TJSONobject final : public TJSONarray {
 public:
  TJSONobject() : TJSONobject(nullptr) {}
  ~TJSONobject() override;

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
  TJSONbase& Add(std::string_view name, std::unique_ptr<TJSONbase> element);

 private:
  friend class TJSONParser;
  explicit TJSONobject(TArena* arena);
  // The position of `name` (later members win), or -1.
  int32_t PositionOf(std::string_view name) const;
  // A copy of `name` in the items' memory resource.
  std::string_view KeepName(std::string_view name);
  void ReleaseNames() noexcept;

  // Parallel to FItems; the bytes come from the items' memory resource.
  std::pmr::vector<std::string_view> FNames;
  // Name to position; built on the first lookup, so that parsing does not
  // hash names nobody asks for.
  mutable std::unique_ptr<TIntegerHash> FIndex;
};

// The top-level list or object of `text`, or null when the text is empty or
// only whitespace. Raises TJSONError (or EVariantError for a number the
// conversion rejects); no partial tree escapes.
std::unique_ptr<TJSONarray> ParseJSON(std::string_view text);

// Makes the process's cache of the memory blocks that parsed documents give
// back for the next document.
std::unique_ptr<TScopePart> MakeJSONBlockCache();

}  // namespace quv
