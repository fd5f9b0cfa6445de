#pragma once

#include <memory>
#include <string_view>

#include "platform/Streams.h"
#include "server/common/quvIntf.h"
#include "support/DatasetIntf.h"

// Recordsets and datasets as the values of text-or-object fields.
namespace quv {

class TquvRecordset;

// Writes `recordset` as the value of `field` in recordset form: whole, with
// its full definitions, when the field names no other set (or this one's
// name), else the columns of the field's set copied row by row. An empty
// recordset whose definitions were not changed is nothing (or an int32 0
// length).
void WriteRecordsetAsValue(TquvRecordset& recordset, TStream& dest, const TquvSymbolDef& field,
                           bool withLength);

// A new recordset decoded from the value of the nested-recordset field
// `fieldName` of the current row, with a copy of the field's definitions;
// raises "Field " + name + " not found" for a field `recordset` lacks.
std::unique_ptr<TquvRecordset> ReadNestedRecordset(TquvRecordset& recordset,
                                                   std::string_view fieldName);

// Writes `dataset` as the value of a text-or-object field: made into a
// recordset (the field's definition set when it names one, else one field per
// column) and written in recordset form. A column of a type that has no field
// type raises "Field type not supported in output of " and its name.
void WriteDatasetValue(IDataset& dataset, TStream& dest, const TquvSymbolDef& field,
                       bool withLength);

}  // namespace quv
