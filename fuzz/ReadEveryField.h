#pragma once

// What the recordset fuzz targets share: a definition set with a field of
// every kind, and a walk that reads every field of every row.

#include <cstdint>
#include <memory>

#include "server/common/quvRecordset.h"

namespace quv::fuzz {

// The fields of quvfuzz.all.types (fuzz/quvfuzz.json), built in code.
inline std::unique_ptr<TquvSymbolDefs> EveryKindDefs() {
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->SetName("fuzz");
  const struct {
    const char* Name;
    char Code;
    uint16_t Size;
    uint8_t Decimals;
  } fields[] = {{"n", 'N', 4, 0},   {"f", 'N', 8, 2}, {"a", 'A', 10, 0}, {"memo", 'A', 0, 0},
                {"img", 'I', 0, 0}, {"b", 'B', 0, 0}, {"d", 'D', 0, 0},  {"t", 'T', 0, 0},
                {"h", 'H', 0, 0},   {"m", 'M', 0, 0}, {"r", 'R', 0, 0},  {"seq", '+', 0, 0}};
  for (const auto& column : fields) {
    TquvSymbolDef& field = defs->AddSymbol(column.Name);
    field.SetTypeCode(column.Code);
    field.SetSize(column.Size);
    field.SetDecimals(column.Decimals);
  }
  defs->Item(10).Nested().AddSymbol("x").SetTypeCode('N');
  return defs;
}

// Reads every field of every row, opening nested recordsets two levels deep.
// A bad row or value raises the recordset's, the stream's or the definitions'
// own error; the next one is read all the same.
inline void ReadEveryField(TquvRecordset& recordset, int depth = 0) {
  for (recordset.First(); !recordset.Eof(); recordset.Next()) {
    for (int32_t i = 0; i < recordset.FieldCount(); ++i) {
      try {
        recordset.GetFieldValueByIndex(i);
        if (depth < 2 && recordset.FieldDefs().Item(i).TypeCode() == 'R') {
          ReadEveryField(*recordset.GetNestedRecordset(recordset.FieldDefs().Item(i).Name()),
                         depth + 1);
        }
      } catch (const Exception&) {
      }
    }
  }
}

}  // namespace quv::fuzz
