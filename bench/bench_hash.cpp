// THashList lookups against std::unordered_map over the same 10,000 keys, hits
// and misses, measured in turns; prints THashList's rate over the map's.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "platform/Clock.h"
#include "support/Hash.h"

namespace {

constexpr int kKeys = 10000;
// Each figure is the median of this many runs, so that one disturbed run
// does not decide a ratio.
constexpr int kRepetitions = 5;
// Passes over the probes per turn of each table.
constexpr int kPassesPerTurn = 8;

// Field-like names of varied length ("CUSTOMER_NAME_123"); the probes visit them in a shuffled
// order so that neither table profits from keys laid out in memory in the order of the lookups.
std::vector<std::string> MakeKeys(const char* prefix) {
  static const char* const kStems[] = {"CODCLI", "CUSTOMER_NAME_", "ID", "ORDER.LINE.AMOUNT_", "x"};
  std::vector<std::string> keys;
  keys.reserve(kKeys);
  for (int i = 0; i < kKeys; ++i)
    keys.push_back(prefix + std::string(kStems[i % 5]) + std::to_string(i));
  return keys;
}

std::vector<std::string> Shuffled(std::vector<std::string> keys) {
  std::shuffle(keys.begin(), keys.end(), std::mt19937(12345));
  return keys;
}

const std::vector<std::string>& Present() {
  static const std::vector<std::string> keys = MakeKeys("");
  return keys;
}

const std::vector<std::string>& Hits() {
  static const std::vector<std::string> keys = Shuffled(Present());
  return keys;
}

const std::vector<std::string>& Misses() {
  static const std::vector<std::string> keys = Shuffled(MakeKeys("~"));
  return keys;
}

// One pass of lookups of every probe.
void PassOver(const quv::THashList& list, const std::vector<std::string>& probes) {
  for (const std::string& key : probes) {
    void* value = nullptr;
    benchmark::DoNotOptimize(list.Find(key, value));
    benchmark::DoNotOptimize(value);
  }
}

void PassOver(const std::unordered_map<std::string, void*>& map,
              const std::vector<std::string>& probes) {
  for (const std::string& key : probes) {
    const auto it = map.find(key);
    benchmark::DoNotOptimize(it);
  }
}

// Nanoseconds of kPassesPerTurn passes of `probes` over `table`.
template <class TTable>
int64_t TimedTurn(const TTable& table, const std::vector<std::string>& probes) {
  const int64_t start = quv::Clock().Nanoseconds();
  for (int pass = 0; pass < kPassesPerTurn; ++pass) PassOver(table, probes);
  return quv::Clock().Nanoseconds() - start;
}

// THashList and std::unordered_map over the same keys take turns, so that both
// meet the same load of this shared machine. The run's time and rate are those
// of THashList; the counters add the map's rate and THashList's rate over it.
void BM_Find(benchmark::State& state, const std::vector<std::string>& probes) {
  quv::THashList list(kKeys);
  std::unordered_map<std::string, void*> map;
  map.reserve(kKeys);
  for (const std::string& key : Present()) {
    list.Add(key, const_cast<std::string*>(&key));
    map.emplace(key, const_cast<std::string*>(&key));
  }
  int64_t listNs = 0;
  int64_t mapNs = 0;
  for (auto _ : state) {
    const int64_t ours = TimedTurn(list, probes);
    mapNs += TimedTurn(map, probes);
    listNs += ours;
    state.SetIterationTime(double(ours) / 1e9);
  }
  const int64_t lookups = state.iterations() * int64_t(probes.size()) * kPassesPerTurn;
  state.SetItemsProcessed(lookups);
  state.counters["map_items_per_second"] = double(lookups) / (double(mapNs) / 1e9);
  state.counters["of_map"] = double(mapNs) / double(listNs);
}

void BM_FindHit(benchmark::State& state) { BM_Find(state, Hits()); }
void BM_FindMiss(benchmark::State& state) { BM_Find(state, Misses()); }

BENCHMARK(BM_FindHit)->UseManualTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_FindMiss)->UseManualTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// Prints THashList's median rate over the map's for `run`.
void PrintRatio(const quv::TRatioReporter& reporter, const std::string& run, const char* keys) {
  const double ratio = reporter.Counter(quv::ManualTimeMedianOf(run, kRepetitions), "of_map");
  if (ratio > 0)
    reporter.Notes() << "THashList finds " << keys << " keys at " << ratio
                     << "x the rate of std::unordered_map (target >= 1x)\n";
}

void PrintRatios(const quv::TRatioReporter& reporter) {
  PrintRatio(reporter, "BM_FindHit", "present");
  PrintRatio(reporter, "BM_FindMiss", "absent");
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(argc, argv, "items_per_second", PrintRatios);
}
