#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/common/quvAggregates.h"
#include "server/common/quvCalcEngine.h"

namespace quv {

class TquvRecordset;
class TquvSymbolDefs;

// The calculated and aggregate fields of one recordset: which fields have an
// expression, the engine of each calculated field with its "computed in this
// row" mark, and the definition of each aggregate field. Owned by the
// recordset it serves.
class TquvRecordsetCalc final {
 public:
  explicit TquvRecordsetCalc(TquvRecordset& recordset) : FRecordset(recordset) {}

  // Remembers the fields of `definitions` that have an expression; later
  // definitions without a field of that name get it added.
  void Register(const TquvSymbolDefs& definitions);
  // Adds the registered fields that the recordset's definitions lack.
  void AddRegisteredFields();
  // Sorts the fields into calculated, aggregate and plain ones and parses
  // every expression. A bad expression raises its parse error and leaves
  // every field plain.
  void Prepare();
  bool HasCalculatedFields() const { return !FEngines.empty() || !FAggregates.empty(); }

  // The current row changed: every calculated field is computed again.
  void RowChanged() { ++FRowVersion; }
  // Computes field `index` for the current row unless it is not calculated or
  // already computed, storing the value in the row buffer.
  void ComputeIfNeeded(int32_t index);
  // Computes every calculated and aggregate field of every row and rewrites
  // the rows with their values.
  void StoreAllRows();

 private:
  struct TRegistered {
    std::string Name;
    char TypeCode;
    uint16_t Size;
    uint8_t Decimals;
    std::string Expression;
  };
  struct TCalculated {
    int32_t Index;
    std::unique_ptr<TCalcEngine> Engine;
  };
  struct TAggregate {
    int32_t Index;
    TOLAPDef Definition;
  };

  const std::string& ExpressionOf(int32_t index) const;
  void ComputeRow();

  TquvRecordset& FRecordset;
  std::vector<TRegistered> FRegistered;
  std::vector<TCalculated> FEngines;
  std::vector<TAggregate> FAggregates;
  // Per field: the position in FEngines, or -1.
  std::vector<int32_t> FEngineOf;
  // Per field: the row version it was computed in, and whether it is being computed.
  std::vector<uint64_t> FComputedIn;
  std::vector<bool> FComputing;
  uint64_t FRowVersion = 1;
};

}  // namespace quv
