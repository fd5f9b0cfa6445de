// ExecMethod against the application server on loopback beside a raw TCP
// ping-pong of the same bytes, and the total calls per second of 8 threads
// calling at once against one thread's, measured in turns.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/EchoCall.h"
#include "bench/RatioReporter.h"
#include "bench/RawCall.h"
#include "client/quvClient.h"
#include "client/quvClientScope.h"
#include "client/quvExecCommand.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "server/common/quvIntfRegistry.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

// Each figure is the median of this many runs, so that one disturbed run
// does not decide a ratio.
constexpr int kRepetitions = 5;
constexpr int32_t kProcessInfoBlockBytes = 4;  // an empty block: its length alone
constexpr int kThreads = bench::kCallingThreads;
// Calls of each thread per turn of the threaded measurement.
constexpr int kCallsPerTurn = 200;

// The bytes of the call package that ExecMethod sends for bench::EchoCall.
int64_t CallPackageBytes() {
  TquvRecordset parameters("", "quvtest.test.echo");
  parameters.SetFieldValue("code", TVariant(42));
  parameters.AppendRow();
  parameters.Tags().SetTag(kDefaultDataSourceTag, "");
  return bench::CallPackageBytes("quvtest.test.echo", std::string(kProcessInfoBlockBytes, '\0'),
                                 parameters);
}

void BM_ExecMethod(benchmark::State& state) {
  bench::EchoServer();
  for (auto _ : state) bench::EchoCall();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExecMethod)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// Makes kCallsPerTurn calls on a thread of its own; a failed call ends it.
class TCaller final : public TThread {
 public:
  ~TCaller() override { WaitFor(); }
  bool Failed() const { return FFailed; }

 protected:
  void Execute() override {
    try {
      for (int i = 0; i < kCallsPerTurn; ++i) bench::EchoCall();
    } catch (const std::exception&) {
      FFailed = true;
    }
  }

 private:
  bool FFailed = false;
};

// Nanoseconds of kCallsPerTurn calls on each of kThreads new threads at
// once (their start included); -1 when a call failed.
int64_t TimedThreadsTurn() {
  const int64_t start = Clock().Nanoseconds();
  std::vector<std::unique_ptr<TCaller>> callers;
  for (int i = 0; i < kThreads; ++i) {
    callers.push_back(std::make_unique<TCaller>());
    callers.back()->Start();
  }
  bool failed = false;
  for (const auto& caller : callers) {
    caller->WaitFor();
    failed = failed || caller->Failed();
  }
  return failed ? -1 : Clock().Nanoseconds() - start;
}

// Nanoseconds of kCallsPerTurn calls on this thread.
int64_t TimedOneThreadTurn() {
  const int64_t start = Clock().Nanoseconds();
  for (int i = 0; i < kCallsPerTurn; ++i) bench::EchoCall();
  return Clock().Nanoseconds() - start;
}

// One thread's calls and kThreads threads' calls in turns, so that both meet
// the same load of this shared machine. The run's time and rate are the
// threads' total; the counters add one thread's rate and the ratio of both.
void BM_ExecMethodFromThreads(benchmark::State& state) {
  bench::EchoServer();
  int64_t oneNs = 0;
  int64_t allNs = 0;
  for (auto _ : state) {
    const int64_t one = TimedOneThreadTurn();
    const int64_t all = TimedThreadsTurn();
    if (all < 0) {
      state.SkipWithError("a call failed");
      break;
    }
    oneNs += one;
    allNs += all;
    state.SetIterationTime(double(all) / 1e9);
  }
  if (oneNs == 0 || allNs == 0) return;
  const double turns = double(state.iterations());
  state.SetItemsProcessed(state.iterations() * kCallsPerTurn * kThreads);
  state.counters["one_thread_calls_per_second"] = turns * kCallsPerTurn / (double(oneNs) / 1e9);
  state.counters["of_one_thread"] = double(kThreads) * double(oneNs) / double(allNs);
}
BENCHMARK(BM_ExecMethodFromThreads)
    ->Iterations(10)
    ->UseManualTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

void BM_RawPingPongSameBytes(benchmark::State& state) {
  bench::RawCallPingPong(state, CallPackageBytes());
}
BENCHMARK(BM_RawPingPongSameBytes)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace quv

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  benchmark::Initialize(&argc, argv);
  quv::TRatioReporter reporter("items_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  quv::PrintRoundTripRatio(reporter, "ExecMethod round trip",
                           quv::MedianOf("BM_ExecMethod", quv::kRepetitions),
                           quv::MedianOf("BM_RawPingPongSameBytes", quv::kRepetitions));
  const std::string threads =
      quv::ManualTimeMedianOf("BM_ExecMethodFromThreads/iterations:10", quv::kRepetitions);
  const double all = reporter.Rate(threads);
  if (all > 0)
    reporter.Notes() << "ExecMethod from " << quv::kThreads << " threads: " << all
                     << " calls per second in total, " << reporter.Counter(threads, "of_one_thread")
                     << "x one thread's total (target >= 1.5x)\n";
  benchmark::Shutdown();
  return 0;
}
