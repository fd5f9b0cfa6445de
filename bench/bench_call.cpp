// ExecMethod against the application server on loopback beside a raw TCP
// ping-pong of the same bytes, and the total calls per second of 8 threads
// calling at once against one thread's.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "bench/RawCall.h"
#include "client/quvClient.h"
#include "client/quvExecCommand.h"
#include "server/common/quvIntfRegistry.h"
#include "tests/kit/ServerProcess.h"
#include "transport/quvConPool.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

// Each figure is the median of this many runs, so that one disturbed run
// does not decide a ratio.
constexpr int kRepetitions = 5;
constexpr int32_t kProcessInfoBlockBytes = 4;  // an empty block: its length alone
constexpr int kThreads = 8;

// The server, started once; the pool keeps a connection per calling thread
// idle between calls, as a program calling from that many threads sets it.
// With the default of 4, half of the threads would connect anew for every call.
testing::TServerProcess& Server() {
  static testing::TServerProcess server = [] {
    DefaultPool().SetIdleLimit(kThreads);
    return testing::TServerProcess();
  }();
  return server;
}

void OneCall() {
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("quvtest.test.echo", {"code"}, {42}, reply, Server().Address());
  if (reply->RecordCount() != 1) throw Exception("short reply");
}

// The bytes of the call package that ExecMethod sends for OneCall.
int64_t CallPackageBytes() {
  TquvRecordset parameters("", "quvtest.test.echo");
  parameters.SetFieldValue("code", TVariant(42));
  parameters.AppendRow();
  parameters.Tags().SetTag(kDefaultDataSourceTag, "");
  return bench::CallPackageBytes("quvtest.test.echo", std::string(kProcessInfoBlockBytes, '\0'),
                                 parameters);
}

void BM_ExecMethod(benchmark::State& state) {
  Server();
  for (auto _ : state) OneCall();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExecMethod)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_ExecMethod)
    ->Threads(kThreads)
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
  // A threaded run's rate counts the calls of all its threads.
  const double one = reporter.Rate(quv::MedianOf("BM_ExecMethod", quv::kRepetitions));
  const double all = reporter.Rate(quv::MedianOf("BM_ExecMethod", quv::kRepetitions,
                                                 "/threads:" + std::to_string(quv::kThreads)));
  if (one > 0 && all > 0)
    reporter.Notes() << "ExecMethod from " << quv::kThreads << " threads: " << all
                     << " calls per second in total, " << all / one
                     << "x one thread's total (target >= 1.5x)\n";
  benchmark::Shutdown();
  return 0;
}
