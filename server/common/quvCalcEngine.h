#pragma once

#include <string>
#include <unordered_map>

#include "expr/ExprParser.h"
#include "server/common/quvIntf.h"

namespace quv {

class TquvRecordset;

// A calculated field's expression, which travels in both the full and the
// short definition form.
inline const std::string& FieldExpression(const TquvSymbolDef& field) {
  return field.Text(kTextExpression);
}

// An expression parser bound to a recordset: identifiers are the fields of
// its current row (a missing one raises the recordset's field-not-found
// message; null is the null value), functions are the recordset functions,
// and nulls propagate. Borrows the recordset, which must outlive it.
class TCalcEngine final : public TExprParser {
 public:
  explicit TCalcEngine(TquvRecordset& recordset);
  void Parse(const std::string& text) override;

 private:
  void ReadField(const std::string& name, TVariant& value);

  TquvRecordset& FRecordset;
  // Field positions by the address of a variable node's name in the tree.
  std::unordered_map<const std::string*, int32_t> FFieldIndexes;
};

// The functions of calculated fields and recordset filters (names without
// regard to case): null_to_z(x), if(condition, a, b) with only the chosen
// branch evaluated, min(a, b) and max(a, b) as doubles, pos(sub, s) and
// poslowercase(sub, s) as 1-based positions (0 when absent). Any other name
// leaves `result` empty. Too few arguments raise Exception.
void RecordsetFunction(TExprFunc& call, TVariant& result);

}  // namespace quv
