#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/COM.h"
#include "support/Variant.h"

namespace quv {

// The column data types a dataset reports, by ordinal. A type may carry
// extra flags above bit 6; readers take it modulo 128.
namespace datasettype {
inline constexpr int32_t String = 1, SmallInt = 2, Integer = 3, Boolean = 5, Float = 6,
                         Currency = 7, BCD = 8, Date = 9, DateTime = 11, AutoInc = 14, Blob = 15,
                         Memo = 16, WideString = 24, Dataset = 29, OraBlob = 30, OraClob = 31;
}

// A reference-counted table that can be handed around as a value: columns
// described by index, and a cursor over its rows. Not thread-safe.
class IDataset : public virtual IInterface {
 public:
  static constexpr TGUID IID = {
      0x64564541, 0x5309, 0x11D2, {0xA6, 0xAD, 0x00, 0xC0, 0xDF, 0x46, 0xC8, 0xB4}};

  virtual int32_t FieldCount() = 0;
  virtual std::string FieldName(int32_t index) = 0;
  // One of the datasettype ordinals, possibly with high flags.
  virtual int32_t FieldDataType(int32_t index) = 0;
  virtual int32_t FieldSize(int32_t index) = 0;
  // The column of that name, or -1.
  virtual int32_t FieldIndex(std::string_view name) = 0;
  virtual void First() = 0;
  virtual bool Eof() = 0;
  // The value of the current row's column; a nested dataset column gives an
  // interface Variant supporting IDataset.
  virtual TVariant FieldValue(int32_t index) = 0;
  virtual void Next() = 0;
};

}  // namespace quv
