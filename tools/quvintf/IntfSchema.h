#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/quvintf/IntfDump.h"

// The keys of the description format and where each lives in the file's
// records, shared by the builder and the dump so that the two stay inverse.
namespace quv::intftool {

template <class T>
struct TIntProperty {
  std::string Key;
  int64_t Min;
  int64_t Max;
  int64_t Default;
  std::function<int64_t(const T&)> Get;
  std::function<void(T&, int64_t)> Set;
};

// Texts default to "".
template <class T>
struct TTextProperty {
  std::string Key;
  std::function<std::string(const T&)> Get;
  std::function<void(T&, std::string)> Set;
};

template <class T>
struct TSchema {
  std::vector<TIntProperty<T>> Ints;
  std::vector<TTextProperty<T>> Texts;
};

// An interface: "name" (module.interface), "groups", "fields" and "fields2"
// are handled by the callers; these are the rest.
const TSchema<TDumpedInterface>& InterfaceSchema();
const TSchema<TquvGroupDef>& GroupSchema();
// A field: "name", "type", "group", "reference" and "storedReference" are
// handled by the callers.
const TSchema<TquvSymbolDef>& FieldSchema();

// The field type codes a description may use.
inline constexpr std::string_view kTypeCodes = "N+AIRBDTHM";

}  // namespace quv::intftool
