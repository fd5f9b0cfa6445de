#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Variant.h"

namespace quv {

class TquvRecordset;

// Accumulates the values of one group of rows, in order.
class TCustomAggregateFunction {
 public:
  virtual ~TCustomAggregateFunction() = default;
  virtual void Accumulate(const TVariant&) {}
  virtual void Reset() {}
  virtual void GetResult(TVariant& result) { result = TVariant::Null(); }
};

// Dense rank: equal consecutive values (by text) share a rank, ranks have no
// gaps; a null value has a null rank.
class TRankAggregateFunction final : public TCustomAggregateFunction {
 public:
  void Accumulate(const TVariant& value) override;
  void Reset() override;
  void GetResult(TVariant& result) override;

 private:
  int32_t FRank = 0;
  TVariant FPrevious;
  bool FLastWasNull = false;
};

// Running sum of the non-null values, as a double.
class TRSumAggregateFunction final : public TCustomAggregateFunction {
 public:
  void Accumulate(const TVariant& value) override;
  void Reset() override { FSum = 0; }
  void GetResult(TVariant& result) override { result = TVariant(FSum); }

 private:
  double FSum = 0;
};

using TAggregateClass = std::unique_ptr<TCustomAggregateFunction> (*)();

// An aggregate field: RANK(value, [partition...]), DRANK(value,
// [partition...]) or RSUM(value, [order...], [partition...]). The value may be
// any expression over the row; RANK and DRANK order by it. Order names may
// end in " desc".
struct TOLAPDef {
  std::string ValueName;
  std::vector<std::string> OrderBy;
  std::vector<std::string> PartitionBy;
  bool Dense = false;
  TAggregateClass FunctionClass = nullptr;
};

// The aggregate an expression defines, or none when it is not a single call
// of RANK, DRANK or RSUM (names without regard to case). Raises the parser's
// errors, and Exception when an ordering argument is not a set.
std::optional<TOLAPDef> ParseAggregate(const std::string& expression);

// The aggregate's value for every row of `recordset`, by row: the rows are
// ordered by the partition names and then the ordering names (stably; a name
// that is none of the fields is read as an expression over the row), the
// function is reset where a partition value changes, and each row's value of
// ValueName (any expression over the row) is accumulated before its result
// is taken. Moves the current row.
std::vector<TVariant> ComputeAggregate(TquvRecordset& recordset, const TOLAPDef& definition);

}  // namespace quv
