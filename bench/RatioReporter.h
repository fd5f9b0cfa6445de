#pragma once

#include <benchmark/benchmark.h>

#include <iostream>
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

// The name of the median of `repetitions` real-time runs of `benchmark`;
// `suffix` is what the benchmark adds after the real-time mark ("/threads:8").
inline std::string MedianOf(const std::string& benchmark, int repetitions,
                            const std::string& suffix = "") {
  return benchmark + "/repeats:" + std::to_string(repetitions) + "/real_time" + suffix + "_median";
}

// The rate of the run `run` over that of the run `peer`; 0 when either did
// not run.
inline double RateShare(const TRatioReporter& reporter, const std::string& run,
                        const std::string& peer) {
  const double rate = reporter.Rate(run);
  const double peerRate = reporter.Rate(peer);
  return rate > 0 && peerRate > 0 ? rate / peerRate : 0;
}

// Prints how many times the round trip of the run `raw` the run `call` takes,
// both rates of calls, against the target of at most 2x.
inline void PrintRoundTripRatio(const TRatioReporter& reporter, const std::string& label,
                                const std::string& call, const std::string& raw) {
  const double calls = reporter.Rate(call);
  const double raws = reporter.Rate(raw);
  if (calls > 0 && raws > 0)
    std::cout << label << ": " << raws / calls << "x the raw round trip (target <= 2x)\n";
}

}  // namespace quv
