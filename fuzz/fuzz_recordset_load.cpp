// Any bytes loaded as a serialised recordset over fields of every kind, then
// every field of every row read (and every nested recordset opened): only the
// project's own errors may come out, never a crash or an unbounded allocation.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "server/common/quvRecordset.h"

namespace {

std::unique_ptr<quv::TquvSymbolDefs> FuzzDefs() {
  auto defs = std::make_unique<quv::TquvSymbolDefs>();
  defs->SetName("fuzz");
  const struct {
    const char* Name;
    char Code;
    uint16_t Size;
    uint8_t Decimals;
  } fields[] = {{"n", 'N', 4, 0},   {"f", 'N', 8, 2}, {"a", 'A', 10, 0}, {"memo", 'A', 0, 0},
                {"img", 'I', 0, 0}, {"b", 'B', 0, 0}, {"d", 'D', 0, 0},  {"t", 'T', 0, 0},
                {"h", 'H', 0, 0},   {"m", 'M', 0, 0}, {"r", 'R', 0, 0}};
  for (const auto& column : fields) {
    quv::TquvSymbolDef& field = defs->AddSymbol(column.Name);
    field.SetTypeCode(column.Code);
    field.SetSize(column.Size);
    field.SetDecimals(column.Decimals);
  }
  defs->Item(10).Nested().AddSymbol("x").SetTypeCode('N');
  return defs;
}

void ReadEverything(quv::TquvRecordset& recordset, int depth) {
  for (recordset.First(); !recordset.Eof(); recordset.Next()) {
    for (int32_t i = 0; i < recordset.FieldCount(); ++i) {
      try {
        recordset.GetFieldValueByIndex(i);
        if (depth < 2 && recordset.FieldDefs().Item(i).TypeCode() == 'R') {
          ReadEverything(*recordset.GetNestedRecordset(recordset.FieldDefs().Item(i).Name()),
                         depth + 1);
        }
      } catch (const quv::Exception&) {
        // A bad row or value raises the recordset's, the stream's or the
        // definitions' own error; the next one is read all the same.
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool cacheBlobs : {false, true}) {
    quv::TquvRecordset recordset;
    recordset.SetFieldDefs(FuzzDefs());
    recordset.CacheBlobs = cacheBlobs;
    quv::TMemoryStream stream(std::vector<uint8_t>(data, data + size));
    try {
      recordset.LoadFromStream(stream, cacheBlobs);
    } catch (const quv::Exception&) {
      continue;
    }
    ReadEverything(recordset, 0);
  }
  return 0;
}
