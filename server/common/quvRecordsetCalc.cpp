#include "server/common/quvRecordsetCalc.h"

#include <limits>

#include "platform/Cp1252.h"
#include "server/common/quvBufferedStreams.h"
#include "server/common/quvRecordset.h"

namespace quv {

namespace {

// Marks a calculated field as being computed, so that an expression that
// reaches its own field fails instead of recursing without end.
class TComputingGuard final {
 public:
  TComputingGuard(std::vector<bool>& computing, std::size_t index, const std::string& name)
      : FComputing(computing), FIndex(index) {
    if (FComputing[index]) {
      throw EquvRecordsetError("The calculated field " + name + " depends on itself");
    }
    FComputing[index] = true;
  }
  ~TComputingGuard() { FComputing[FIndex] = false; }
  TComputingGuard(const TComputingGuard&) = delete;
  TComputingGuard& operator=(const TComputingGuard&) = delete;

 private:
  std::vector<bool>& FComputing;
  std::size_t FIndex;
};

}  // namespace

void TquvRecordsetCalc::Register(const TquvSymbolDefs& definitions) {
  FRegistered.clear();
  for (int32_t i = 0; i < definitions.Count(); ++i) {
    const TquvSymbolDef& field = definitions.Item(i);
    if (FieldExpression(field).empty()) continue;
    FRegistered.push_back(
        {field.Name(), field.TypeCode(), field.Size(), field.Decimals(), FieldExpression(field)});
  }
}

void TquvRecordsetCalc::AddRegisteredFields() {
  for (const TRegistered& registered : FRegistered) {
    if (FRecordset.FieldIndex(registered.Name) >= 0) continue;
    TquvSymbolDef& field = FRecordset.MutableFieldDefs().AddSymbol(registered.Name);
    field.SetTypeCode(registered.TypeCode);
    field.SetSize(registered.Size);
    field.SetDecimals(registered.Decimals);
    field.SetText(kTextExpression, registered.Expression);
  }
}

const std::string& TquvRecordsetCalc::ExpressionOf(int32_t index) const {
  const TquvSymbolDef& field = FRecordset.FieldDefs().Item(index);
  for (const TRegistered& registered : FRegistered) {
    if (AnsiCompareText(registered.Name, field.Name()) == 0) return registered.Expression;
  }
  return FieldExpression(field);
}

void TquvRecordsetCalc::Prepare() {
  FEngines.clear();
  FAggregates.clear();
  FEngineOf.clear();
  const int32_t count = FRecordset.FieldCount();
  std::vector<TCalculated> engines;
  std::vector<TAggregate> aggregates;
  std::vector<int32_t> engineOf(std::size_t(count), -1);
  for (int32_t i = 0; i < count; ++i) {
    const std::string& expression = ExpressionOf(i);
    if (expression.empty()) continue;
    if (std::optional<TOLAPDef> aggregate = ParseAggregate(expression)) {
      aggregates.push_back({i, std::move(*aggregate)});
      continue;
    }
    auto engine = std::make_unique<TCalcEngine>(FRecordset);
    engine->Parse(expression);
    engineOf[std::size_t(i)] = static_cast<int32_t>(engines.size());
    engines.push_back({i, std::move(engine)});
  }
  FEngines = std::move(engines);
  FAggregates = std::move(aggregates);
  FEngineOf = std::move(engineOf);
  FComputedIn.assign(std::size_t(count), 0);
  FComputing.assign(std::size_t(count), false);
}

void TquvRecordsetCalc::ComputeIfNeeded(int32_t index) {
  const auto i = std::size_t(index);
  if (i >= FEngineOf.size() || FEngineOf[i] < 0 || FComputedIn[i] == FRowVersion) return;
  TVariant value;
  {
    TComputingGuard guard(FComputing, i, FRecordset.FieldDefs().Item(index).Name());
    FEngines[std::size_t(FEngineOf[i])].Engine->Evaluate(value);
  }
  FRecordset.SetFieldValueByIndex(index, value);
  FComputedIn[i] = FRowVersion;
}

void TquvRecordsetCalc::ComputeRow() {
  for (const TCalculated& calculated : FEngines) ComputeIfNeeded(calculated.Index);
}

void TquvRecordsetCalc::StoreAllRows() {
  TquvRecordset& rs = FRecordset;
  if (!HasCalculatedFields() || rs.FRecordCount == 0) return;
  rs.CheckWritable();
  rs.DetachDependents();
  rs.OwnData();
  std::vector<std::vector<TVariant>> aggregates;
  for (const TAggregate& aggregate : FAggregates) {
    aggregates.push_back(ComputeAggregate(rs, aggregate.Definition));
  }
  // The rows are written afresh one after the other: posting each changed
  // row in place would move every row behind it.
  std::unique_ptr<TquvStream> data = NewRowStream();
  std::unique_ptr<TquvStream> index = NewRowStream();
  for (int32_t row = 0; row < rs.FRecordCount; ++row) {
    rs.GoToRow(row);
    rs.LoadRow();
    for (std::size_t a = 0; a < FAggregates.size(); ++a) {
      rs.SetFieldValueByIndex(FAggregates[a].Index, aggregates[a][std::size_t(row)]);
    }
    ComputeRow();
    const int64_t start = data->Position();
    rs.EncodeRow(*data);
    const int64_t end = data->Position();
    if (end > std::numeric_limits<int32_t>::max()) {
      throw EquvRecordsetError("The rows of " + rs.Name() + " exceed 2 GB");
    }
    WriteIndexEntry(*index, row, {start, end - start});
  }
  rs.FData = std::move(data);
  rs.FIndex = std::move(index);
  rs.FSavedIndex.reset();
  rs.FRecNo = -1;
  rs.UpdateRowCount();
}

}  // namespace quv
