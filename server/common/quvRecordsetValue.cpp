#include "server/common/quvRecordsetValue.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/Cp1252.h"
#include "server/common/quvRecordset.h"

namespace quv {

namespace {

// A recordset as a field value: nothing (or an int32 0 length) for an empty
// recordset whose definitions were not changed, else its serialised form,
// whose total length is the value's length.
void WriteRecordsetValue(TquvRecordset& recordset, TStream& dest, bool withLength, uint8_t flags) {
  if (recordset.RecordCount() == 0 && !recordset.FieldDefs().Modified()) {
    if (withLength) TquvStream(&dest).WriteInteger(0);
    return;
  }
  recordset.SaveToStream(dest, withLength ? flags | kRsTotalLength : flags);
}

// A copy of the definition set that `field` names, Modified flag included.
std::unique_ptr<TquvSymbolDefs> FieldDefinitions(const TquvSymbolDef& field) {
  // The field's definitions come from its set, which the caller owns.
  const TquvSymbolDefs& nested = const_cast<TquvSymbolDef&>(field).Nested();
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->Assign(nested);
  defs->SetModified(nested.Modified());
  return defs;
}

// The field a dataset column becomes; a type without one raises the
// unsupported-type error.
void DefineColumn(IDataset& dataset, int32_t column, TquvSymbolDefs& defs) {
  std::string name = dataset.FieldName(column);
  char code = 0;
  int32_t size = 0;
  uint8_t decimals = 0;
  switch (dataset.FieldDataType(column) & 0x7F) {  // modulo 128, also for negative types
    case datasettype::String:
    case datasettype::WideString:
      code = 'A';
      size = std::clamp<int32_t>(dataset.FieldSize(column), 0, 0xFFFF);
      break;
    case datasettype::SmallInt:
    case datasettype::Integer:
    case datasettype::AutoInc:
      code = 'N';
      size = 8;
      break;
    case datasettype::Boolean:
      code = 'B';
      break;
    case datasettype::Float:
    case datasettype::BCD:
      code = 'N';
      size = 15;
      decimals = 7;
      break;
    case datasettype::Currency:
      code = 'N';
      size = 15;
      decimals = 2;
      break;
    case datasettype::Date:
      code = 'D';
      size = 10;
      break;
    case datasettype::DateTime:
      code = 'H';
      size = 10;
      break;
    case datasettype::Blob:
    case datasettype::OraBlob:
      code = 'I';
      break;
    case datasettype::Memo:
    case datasettype::OraClob:
      code = 'A';
      break;
    case datasettype::Dataset:
      code = 'R';
      break;
    default:
      throw Exception("Field type not supported in output of " + name);
  }
  TquvSymbolDef& field = defs.AddSymbol(std::move(name));
  field.SetTypeCode(code);
  field.SetSize(static_cast<uint16_t>(size));
  field.SetDecimals(decimals);
}

std::unique_ptr<TquvSymbolDefs> ColumnDefinitions(IDataset& dataset) {
  auto defs = std::make_unique<TquvSymbolDefs>();
  const int32_t count = dataset.FieldCount();
  for (int32_t column = 0; column < count; ++column) DefineColumn(dataset, column, *defs);
  return defs;
}

}  // namespace

void WriteRecordsetAsValue(TquvRecordset& recordset, TStream& dest, const TquvSymbolDef& field,
                           bool withLength) {
  const std::string& reference = field.Reference();
  if (reference.empty() || AnsiCompareText(reference, recordset.Name()) == 0) {
    WriteRecordsetValue(recordset, dest, withLength, kRsWithDefinitions | kRsFullDefinitions);
    return;
  }
  TquvRecordset copy;
  copy.SetFieldDefs(FieldDefinitions(field));
  std::vector<int32_t> sourceFields;
  for (int32_t i = 0; i < copy.FieldCount(); ++i)
    sourceFields.push_back(recordset.FieldIndex(copy.FieldDefs().Item(i).Name()));
  const int32_t current = recordset.RecNo();
  std::vector<TVariant> values(sourceFields.size());
  for (int32_t row = 0; row < recordset.RecordCount(); ++row) {
    recordset.GoToRow(row);
    for (std::size_t i = 0; i < sourceFields.size(); ++i)
      values[i] =
          sourceFields[i] < 0 ? TVariant() : recordset.GetFieldValueByIndex(sourceFields[i]);
    copy.AppendValues(values);
  }
  recordset.GoToRow(current);
  WriteRecordsetValue(copy, dest, withLength, kRsWithDefinitions);
}

void WriteDatasetValue(IDataset& dataset, TStream& dest, const TquvSymbolDef& field,
                       bool withLength) {
  TquvRecordset recordset;
  recordset.SetFieldDefs(field.Reference().empty() ? ColumnDefinitions(dataset)
                                                   : FieldDefinitions(field));
  std::vector<int32_t> columns;
  for (int32_t i = 0; i < recordset.FieldCount(); ++i)
    columns.push_back(dataset.FieldIndex(recordset.FieldDefs().Item(i).Name()));
  std::vector<TVariant> values(columns.size());
  for (dataset.First(); !dataset.Eof(); dataset.Next()) {
    for (std::size_t i = 0; i < columns.size(); ++i)
      values[i] = columns[i] < 0 ? TVariant() : dataset.FieldValue(columns[i]);
    recordset.AppendValues(values);
  }
  WriteRecordsetValue(recordset, dest, withLength, kRsWithDefinitions);
}

std::unique_ptr<TquvRecordset> ReadNestedRecordset(TquvRecordset& recordset,
                                                   std::string_view fieldName) {
  const int32_t index = recordset.FieldIndex(fieldName);
  if (index < 0) throw Exception("Field " + std::string(fieldName) + " not found");
  TquvSymbolDefs& nestedDefs = recordset.MutableFieldDefs().Item(index).Nested();
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->Assign(nestedDefs);
  auto nested = std::make_unique<TquvRecordset>();
  nested->SetFieldDefs(std::move(defs));
  nested->DefsVersion = recordset.DefsVersion;
  nested->CacheBlobs = true;
  TMemoryStream value;
  {
    std::unique_ptr<TquvBlobStream> blob = recordset.GetBlobStream(fieldName, false);
    CopyStreams(*blob, value, 0);
  }
  if (value.Size() > 0) {
    value.SetPosition(0);
    nested->LoadFromStream(value, !nestedDefs.Modified());
  }
  return nested;
}

}  // namespace quv
