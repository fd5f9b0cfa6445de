#include "server/common/quvAggregates.h"

#include <algorithm>
#include <memory>

#include "expr/ExprSet.h"
#include "platform/Cp1252.h"
#include "server/common/quvCalcEngine.h"
#include "server/common/quvRecordset.h"

namespace quv {

namespace {

// The item texts of a set constant standing alone as argument `index`; an
// argument left out gives no names.
std::vector<std::string> SetArgument(const TExprFunc& call, int32_t index) {
  if (index >= call.ArgumentCount()) return {};
  const TExprBlock& argument = call.Argument(index);
  const auto* constant = argument.Items().size() == 1
                             ? dynamic_cast<const TExprConst*>(argument.Items()[0].Operand.get())
                             : nullptr;
  const TRef<ISet> set = constant ? SetOf(constant->Value()) : nullptr;
  if (!set) {
    throw Exception("Argument " + std::to_string(index + 1) + " of " + call.Name() +
                    " must be a set of field names");
  }
  std::vector<std::string> names;
  for (int32_t i = 0; i < set->Count(); ++i) names.push_back(set->Item(i).ToText());
  return names;
}

// One ordering key: a field, or an expression over the row when the name is
// none of the fields, and its direction.
struct TSortKey {
  int32_t Index = -1;
  std::unique_ptr<TCalcEngine> Expression;
  bool Descending = false;

  TVariant Read(TquvRecordset& recordset) const {
    return Expression ? Expression->Evaluate() : recordset.GetFieldValueByIndex(Index);
  }
};

TSortKey SortKeyOf(TquvRecordset& recordset, std::string name) {
  TSortKey key;
  if (name.size() > 5 && AnsiCompareText(name.substr(name.size() - 5), " desc") == 0) {
    key.Descending = true;
    name.resize(name.size() - 5);
  }
  key.Index = recordset.FieldIndex(name);
  if (key.Index < 0) {
    // A missing field name is an expression too: reading it raises the
    // field-not-found message.
    key.Expression = std::make_unique<TCalcEngine>(recordset);
    key.Expression->Parse(name);
  }
  return key;
}

struct TAggregateRow {
  int32_t Row;
  std::vector<TVariant> Keys;  // partition fields, then ordering fields
  TVariant Value;
};

}  // namespace

void TRankAggregateFunction::Accumulate(const TVariant& value) {
  FLastWasNull = value.IsEmptyOrNull();
  if (!FLastWasNull && value.ToText() != FPrevious.ToText()) ++FRank;
  FPrevious = value;
}

void TRankAggregateFunction::Reset() {
  FRank = 0;
  FLastWasNull = false;
  FPrevious = TVariant();
}

void TRankAggregateFunction::GetResult(TVariant& result) {
  result = FLastWasNull ? TVariant::Null() : TVariant(FRank);
}

void TRSumAggregateFunction::Accumulate(const TVariant& value) {
  if (!value.IsEmptyOrNull()) FSum = VarAdd(TVariant(FSum), value).ToDouble();
}

std::optional<TOLAPDef> ParseAggregate(const std::string& expression) {
  TExprParser parser;
  parser.Parse(expression);
  const auto& items = parser.Root()->Items();
  const auto* call =
      items.size() == 1 ? dynamic_cast<const TExprFunc*>(items[0].Operand.get()) : nullptr;
  if (!call) return std::nullopt;
  const std::string& name = call->Name();
  const bool rank = AnsiCompareText(name, "RANK") == 0;
  const bool dense = AnsiCompareText(name, "DRANK") == 0;
  const bool sum = AnsiCompareText(name, "RSUM") == 0;
  if (!rank && !dense && !sum) return std::nullopt;
  TOLAPDef definition;
  definition.ValueName = call->Argument(0).GetName();
  if (sum) {
    definition.OrderBy = SetArgument(*call, 1);
    definition.PartitionBy = SetArgument(*call, 2);
    definition.FunctionClass = [] {
      return std::unique_ptr<TCustomAggregateFunction>(new TRSumAggregateFunction);
    };
    return definition;
  }
  definition.PartitionBy = SetArgument(*call, 1);
  definition.OrderBy = definition.PartitionBy;
  definition.OrderBy.push_back(definition.ValueName + (rank ? " desc" : ""));
  definition.Dense = dense;
  definition.FunctionClass = [] {
    return std::unique_ptr<TCustomAggregateFunction>(new TRankAggregateFunction);
  };
  return definition;
}

std::vector<TVariant> ComputeAggregate(TquvRecordset& recordset, const TOLAPDef& definition) {
  std::vector<TSortKey> keys;
  for (const std::string& name : definition.PartitionBy) keys.push_back(SortKeyOf(recordset, name));
  for (const std::string& name : definition.OrderBy) keys.push_back(SortKeyOf(recordset, name));
  TCalcEngine value(recordset);
  value.Parse(definition.ValueName);
  std::vector<TAggregateRow> rows(std::size_t(recordset.RecordCount()));
  for (int32_t row = 0; row < recordset.RecordCount(); ++row) {
    recordset.GoToRow(row);
    TAggregateRow& entry = rows[std::size_t(row)];
    entry.Row = row;
    for (const TSortKey& key : keys) entry.Keys.push_back(key.Read(recordset));
    entry.Value = value.Evaluate();
  }
  std::ranges::stable_sort(rows, [&](const TAggregateRow& a, const TAggregateRow& b) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const TVarRelation order = VarCompare(a.Keys[k], b.Keys[k]);
      if (order != TVarRelation::Equal) return (order == TVarRelation::Less) != keys[k].Descending;
    }
    return false;
  });
  const std::size_t partitionKeys = definition.PartitionBy.size();
  const std::unique_ptr<TCustomAggregateFunction> function = definition.FunctionClass();
  std::vector<TVariant> results(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const bool newGroup =
        i == 0 || !std::equal(rows[i].Keys.begin(), rows[i].Keys.begin() + partitionKeys,
                              rows[i - 1].Keys.begin(), [](const TVariant& a, const TVariant& b) {
                                return VarCompare(a, b) == TVarRelation::Equal;
                              });
    if (newGroup) function->Reset();
    function->Accumulate(rows[i].Value);
    function->GetResult(results[std::size_t(rows[i].Row)]);
  }
  return results;
}

}  // namespace quv
