// Expressions: filtering 1,000,000 task rows by a three-term expression (a
// number compared, a text matched, a Boolean) against a hand-written C++
// predicate over the same rows in the same run (target: within 10x), and
// parsing short expressions (target: 100,000 or more per second).

#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "expr/ExprParser.h"
#include "server/common/quvRecordset.h"

namespace {

constexpr int32_t kRows = 1000000;
const std::string kFilter = "(elapsed > 30) and (username like 'ana%') and running";

// The filter above, written by hand.
class THandFiltered final : public quv::TquvRecordset {
 public:
  void AcceptRecord(bool& accept) override {
    accept = GetFieldValueByIndex(FElapsed).ToDouble() > 30 &&
             GetFieldValueByIndex(FUser).ToText().starts_with("ana") &&
             GetFieldValueByIndex(FRunning).ToBoolean();
  }
  void Locate() {
    FElapsed = FieldIndex("elapsed");
    FUser = FieldIndex("username");
    FRunning = FieldIndex("running");
  }

 private:
  int32_t FElapsed = 0, FUser = 0, FRunning = 0;
};

THandFiltered& Tasks() {
  static THandFiltered* tasks = [] {
    auto defs = std::make_unique<quv::TquvSymbolDefs>();
    defs->SetName("tasks");
    const std::tuple<const char*, char, uint16_t, uint8_t> fields[] = {{"requestid", 'N', 4, 0},
                                                                       {"username", 'A', 20, 0},
                                                                       {"command", 'A', 40, 0},
                                                                       {"elapsed", 'N', 8, 2},
                                                                       {"running", 'B', 0, 0}};
    for (const auto& [name, code, size, decimals] : fields) {
      quv::TquvSymbolDef& field = defs->AddSymbol(name);
      field.SetTypeCode(code);
      field.SetSize(size);
      field.SetDecimals(decimals);
    }
    auto* recordset = new THandFiltered;
    recordset->SetFieldDefs(std::move(defs));
    recordset->Locate();
    const char* users[] = {"ana.souza", "bruno", "anabela", "carla", "joana"};
    std::vector<quv::TVariant> row(5);
    for (int32_t i = 0; i < kRows; ++i) {
      row[0] = i;
      row[1] = users[i % 5];
      row[2] = "quvsystem.tasks.list";
      row[3] = double(i % 61);
      row[4] = i % 3 != 0;
      recordset->AppendValues(row);
    }
    return recordset;
  }();
  return *tasks;
}

void Report(benchmark::State& state, int64_t items) {
  state.SetItemsProcessed(items);
  state.counters["kept"] = Tasks().RecordCount();
}

void BM_FilterByExpression(benchmark::State& state) {
  THandFiltered& tasks = Tasks();
  for (auto _ : state) tasks.Filter(kFilter, true);
  Report(state, state.iterations() * kRows);
}

void BM_FilterByHandWrittenPredicate(benchmark::State& state) {
  THandFiltered& tasks = Tasks();
  for (auto _ : state) tasks.FilterByRecord();
  Report(state, state.iterations() * kRows);
}

void BM_ParseShortExpressions(benchmark::State& state) {
  const std::vector<std::string> texts = {
      "(elapsed > 30) and running", "username like 'ana%'", "requestid in [1, 2, 3]",
      "null_to_z(elapsed) * 2 + 1", "not (state = 'done')", "if(a > b, a, b) - 0x10"};
  quv::TExprParser parser;
  std::size_t next = 0;
  for (auto _ : state) {
    parser.Parse(texts[next++ % texts.size()]);
    benchmark::DoNotOptimize(parser.Root());
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_FilterByExpression)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FilterByHandWrittenPredicate)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ParseShortExpressions)->Iterations(100000);

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(
      argc, argv, "items_per_second", [](const quv::TRatioReporter& reporter) {
        const double byExpression = reporter.Rate("BM_FilterByExpression/iterations:3");
        const double byHand = reporter.Rate("BM_FilterByHandWrittenPredicate/iterations:3");
        const double parses = reporter.Rate("BM_ParseShortExpressions/iterations:100000");
        if (byExpression > 0 && byHand > 0) {
          reporter.Notes() << "filter of " << kRows << " rows: " << byExpression / 1e6
                           << " M rows/s by expression, " << byHand / 1e6
                           << " M rows/s by hand: " << byHand / byExpression
                           << "x the hand-written predicate (target <= 10x)\n";
        }
        if (parses > 0)
          reporter.Notes() << "parsing: " << parses << " short expressions/s (target >= 100000)\n";
      });
}
