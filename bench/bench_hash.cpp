// THashList lookups against std::unordered_map over the same 10,000 keys, hits and misses.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/Hash.h"

namespace {

constexpr int kKeys = 10000;

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

void BM_HashListFind(benchmark::State& state, const std::vector<std::string>& probes) {
  quv::THashList list(kKeys);
  for (const std::string& key : Present()) list.Add(key, const_cast<std::string*>(&key));
  for (auto _ : state) {
    for (const std::string& key : probes) {
      void* value = nullptr;
      benchmark::DoNotOptimize(list.Find(key, value));
      benchmark::DoNotOptimize(value);
    }
  }
  state.SetItemsProcessed(state.iterations() * probes.size());
}

void BM_UnorderedMapFind(benchmark::State& state, const std::vector<std::string>& probes) {
  std::unordered_map<std::string, void*> map;
  map.reserve(kKeys);
  for (const std::string& key : Present()) map.emplace(key, const_cast<std::string*>(&key));
  for (auto _ : state) {
    for (const std::string& key : probes) {
      const auto it = map.find(key);
      benchmark::DoNotOptimize(it);
    }
  }
  state.SetItemsProcessed(state.iterations() * probes.size());
}

void BM_HashListFindHit(benchmark::State& state) { BM_HashListFind(state, Hits()); }
void BM_HashListFindMiss(benchmark::State& state) { BM_HashListFind(state, Misses()); }
void BM_UnorderedMapFindHit(benchmark::State& state) { BM_UnorderedMapFind(state, Hits()); }
void BM_UnorderedMapFindMiss(benchmark::State& state) { BM_UnorderedMapFind(state, Misses()); }

BENCHMARK(BM_HashListFindHit);
BENCHMARK(BM_UnorderedMapFindHit);
BENCHMARK(BM_HashListFindMiss);
BENCHMARK(BM_UnorderedMapFindMiss);

}  // namespace

BENCHMARK_MAIN();
