#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace quv {

// A console reporter that also keeps one rate counter of every run (for
// example "bytes_per_second"), by benchmark name, so that a benchmark can
// print ratios between its runs at the end.
class TRatioReporter final : public benchmark::ConsoleReporter {
 public:
  explicit TRatioReporter(std::string counter) : FCounter(std::move(counter)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto rate = run.counters.find(FCounter);
      if (rate != run.counters.end()) FRates[run.benchmark_name()] = rate->second.value;
    }
  }
  // The rate of the run `name`, 0 when it did not run.
  double Rate(const std::string& name) const {
    const auto found = FRates.find(name);
    return found == FRates.end() ? 0 : found->second;
  }

 private:
  std::string FCounter;
  std::map<std::string, double> FRates;
};

// The name of the median of `repetitions` real-time runs of `benchmark`.
inline std::string MedianOf(const std::string& benchmark, int repetitions) {
  return benchmark + "/repeats:" + std::to_string(repetitions) + "/real_time_median";
}

}  // namespace quv
