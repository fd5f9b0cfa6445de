// ExecMethod against the application server on loopback beside a raw TCP
// ping-pong of the same bytes, and calls per second from 8 threads at once.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/EchoCall.h"
#include "bench/RatioReporter.h"
#include "bench/RawCall.h"
#include "client/quvClient.h"
#include "client/quvExecCommand.h"
#include "server/common/quvIntfRegistry.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

// Each figure is the median of this many runs, so that one disturbed run
// does not decide a ratio.
constexpr int kRepetitions = 5;
constexpr int32_t kProcessInfoBlockBytes = 4;  // an empty block: its length alone

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
BENCHMARK(BM_ExecMethod)
    ->Threads(8)
    ->UseRealTime()
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
  benchmark::Initialize(&argc, argv);
  quv::TquvInterfaceRegistryScope interfaces;
  quv::TRatioReporter reporter("items_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  quv::PrintRoundTripRatio(reporter, "ExecMethod round trip",
                           quv::MedianOf("BM_ExecMethod", quv::kRepetitions),
                           quv::MedianOf("BM_RawPingPongSameBytes", quv::kRepetitions));
  const double threads =
      reporter.Rate(quv::MedianOf("BM_ExecMethod", quv::kRepetitions, "/threads:8"));
  if (threads > 0) std::cout << "ExecMethod from 8 threads: " << threads << " calls per second\n";
  benchmark::Shutdown();
  return 0;
}
