#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace quv {

// The display reporter that --benchmark_format asks for, which also keeps the
// counters of every run by benchmark name, so that a benchmark can print
// ratios between its runs at the end. `counter` names the rate that Rate
// gives (for example "bytes_per_second").
class TRatioReporter final : public benchmark::BenchmarkReporter {
 public:
  explicit TRatioReporter(std::string counter)
      : FCounter(std::move(counter)), FDisplay(benchmark::CreateDefaultDisplayReporter()) {}

  bool ReportContext(const Context& context) override { return FDisplay->ReportContext(context); }
  void ReportRuns(const std::vector<Run>& runs) override {
    FDisplay->ReportRuns(runs);
    for (const Run& run : runs) {
      for (const auto& [name, counter] : run.counters)
        FCounters[run.benchmark_name()][name] = counter.value;
    }
  }
  void Finalize() override { FDisplay->Finalize(); }

  // The rate of the run `name`, 0 when it did not run.
  double Rate(const std::string& name) const { return Counter(name, FCounter); }
  // The counter `counter` of the run `name`, 0 when either is missing.
  double Counter(const std::string& name, const std::string& counter) const {
    const auto run = FCounters.find(name);
    if (run == FCounters.end()) return 0;
    const auto found = run->second.find(counter);
    return found == run->second.end() ? 0 : found->second;
  }
  // Where the ratio lines go: the console, or stderr when the runs are printed
  // as JSON or CSV, so that standard output stays one document.
  std::ostream& Notes() const {
    return dynamic_cast<benchmark::ConsoleReporter*>(FDisplay) ? std::cout : std::cerr;
  }

 private:
  std::string FCounter;
  std::map<std::string, std::map<std::string, double>> FCounters;
  benchmark::BenchmarkReporter* FDisplay;  // owned by the benchmark library
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

// The name of the median of `repetitions` runs of `benchmark` (with its
// arguments) that the benchmark timed itself.
inline std::string ManualTimeMedianOf(const std::string& benchmark, int repetitions) {
  return benchmark + "/repeats:" + std::to_string(repetitions) + "/manual_time_median";
}

// Runs the benchmarks that the command line selects through a TRatioReporter
// that keeps `counter`, then lets `printRatios` print from it.
// Runs the benchmarks the command line asks for with the console reporter,
// then `after`; status 1 for an argument benchmark does not know.
inline int RunBenchmarks(int argc, char** argv, const std::function<void()>& after = {}) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (after) after();
  return 0;
}

inline int RunAndPrintRatios(int argc, char** argv, const std::string& counter,
                             const std::function<void(const TRatioReporter&)>& printRatios) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter(counter);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter);
  benchmark::Shutdown();
  return 0;
}

// Prints how many times the round trip of the run `raw` the run `call` takes,
// both rates of calls, against the target of at most 2x.
inline void PrintRoundTripRatio(const TRatioReporter& reporter, const std::string& label,
                                const std::string& call, const std::string& raw) {
  const double calls = reporter.Rate(call);
  const double raws = reporter.Rate(raw);
  if (calls > 0 && raws > 0)
    reporter.Notes() << label << ": " << raws / calls << "x the raw round trip (target <= 2x)\n";
}

}  // namespace quv
