// Queued calls against the application server on loopback, through one
// channel and through 8 channels, beside the same calls made synchronously
// from 1 and 8 threads. Rates are calls per second, totals across threads.
#include <benchmark/benchmark.h>

#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/EchoCall.h"
#include "bench/RatioReporter.h"
#include "client/quvClient.h"
#include "client/quvClientScope.h"
#include "client/quvMainThread.h"
#include "server/common/quvIntfRegistry.h"

namespace quv {
namespace {

// Each figure is the median of this many runs, so that one disturbed run
// does not decide a ratio.
constexpr int kRepetitions = 5;
// Calls queued at once on each channel before their replies are applied, so
// that every channel's queue stays busy as a calling thread does.
constexpr int kCallsPerChannel = 8;
constexpr uint32_t kMessageWaitMs = 100;

void BM_SynchronousCalls(benchmark::State& state) {
  bench::EchoServer();
  for (auto _ : state) bench::EchoCall();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SynchronousCalls)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SynchronousCalls)
    ->Threads(bench::kCallingThreads)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// A plain main thread of its own that does nothing but handle the jobs sent
// to it, until the program ends.
class TPumpingMainThread final {
 public:
  TPumpingMainThread() {
    std::promise<TquvPlainMainThread*> made;
    FMade = made.get_future();
    FThread = std::thread([this, &made] {
      TquvPlainMainThread mainThread;
      made.set_value(&mainThread);
      while (mainThread.HandleOneMessage(kMessageWaitMs)) {
      }
    });
    FMainThread = FMade.get();
  }
  ~TPumpingMainThread() {
    FMainThread->Close();
    FThread.join();
  }
  TquvPlainMainThread& Get() { return *FMainThread; }

 private:
  std::future<TquvPlainMainThread*> FMade;
  TquvPlainMainThread* FMainThread = nullptr;
  std::thread FThread;
};

// The least a queued call can cost: a synchronous call, then the synchronous
// hand-over of an empty job to a main thread, as every queued reply is
// handed over before its execute thread takes the next task.
void BM_SynchronousCallsHandedOver(benchmark::State& state) {
  bench::EchoServer();
  static TPumpingMainThread mainThread;
  for (auto _ : state) {
    bench::EchoCall();
    mainThread.Get().Send([] {});
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SynchronousCallsHandedOver)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SynchronousCallsHandedOver)
    ->Threads(bench::kCallingThreads)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// kCallsPerChannel asynchronous recordsets on each of `channels` channels.
std::vector<std::unique_ptr<TquvClientRecordset>> QueuedRecordsets(int channels) {
  std::vector<std::unique_ptr<TquvClientRecordset>> recordsets;
  for (int i = 0; i < kCallsPerChannel * channels; ++i) {
    auto recordset = std::make_unique<TquvClientRecordset>();
    recordset->SetDefinition(bench::EchoServer().Address() + "@quvtest.test.echo");
    recordset->SetText("bench" + std::to_string(i % channels));
    recordset->SetOption(1);
    recordsets.push_back(std::move(recordset));
  }
  return recordsets;
}

// Each round queues one call per recordset, then applies every reply on this
// (the main) thread.
void BM_QueuedCalls(benchmark::State& state) {
  const std::vector<std::unique_ptr<TquvClientRecordset>> recordsets =
      QueuedRecordsets(static_cast<int>(state.range(0)));
  TquvRecordset parameters("", "quvtest.test.echo");
  parameters.SetFieldValue("code", TVariant(42));
  parameters.AppendRow();
  for (auto _ : state) {
    for (const auto& recordset : recordsets) recordset->Execute(&parameters);
    for (const auto& recordset : recordsets) {
      while (recordset->Executing()) MainThread().HandleOneMessage(kMessageWaitMs);
      if (recordset->RecordCount() != 1) state.SkipWithError(recordset->ErrorText().c_str());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(recordsets.size()));
}
BENCHMARK(BM_QueuedCalls)
    ->ArgName("channels")
    ->Arg(1)
    ->Arg(bench::kCallingThreads)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

void PrintRate(const TRatioReporter& reporter, const std::string& label, const std::string& run) {
  reporter.Notes() << label << ": " << reporter.Rate(run) << " calls per second\n";
}

void PrintShare(const TRatioReporter& reporter, const std::string& label, const std::string& run,
                const std::string& baseline, const std::string& comment) {
  const double share = RateShare(reporter, run, baseline);
  if (share > 0) reporter.Notes() << label << ": " << share << " (" << comment << ")\n";
}

}  // namespace
}  // namespace quv

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(
      argc, argv, "items_per_second", [](const quv::TRatioReporter& reporter) {
        using quv::kRepetitions;
        using quv::MedianOf;
        const std::string threads = "/threads:" + std::to_string(quv::bench::kCallingThreads);
        const std::string channels = std::to_string(quv::bench::kCallingThreads);
        const std::string oneThread = MedianOf("BM_SynchronousCalls", kRepetitions);
        const std::string manyThreads = MedianOf("BM_SynchronousCalls", kRepetitions, threads);
        const std::string handedOver =
            MedianOf("BM_SynchronousCallsHandedOver", kRepetitions, threads);
        const std::string oneChannel = MedianOf("BM_QueuedCalls/channels:1", kRepetitions);
        const std::string manyChannels =
            MedianOf("BM_QueuedCalls/channels:" + channels, kRepetitions);
        quv::PrintRate(reporter, "synchronous, 1 thread", oneThread);
        quv::PrintRate(reporter, "synchronous, " + channels + " threads", manyThreads);
        quv::PrintRate(reporter, "synchronous and handed over, " + channels + " threads",
                       handedOver);
        quv::PrintRate(reporter, "queued, 1 channel", oneChannel);
        quv::PrintRate(reporter, "queued, " + channels + " channels", manyChannels);
        quv::PrintShare(reporter, "1 channel / 1 synchronous thread", oneChannel, oneThread,
                        "target >= 0.8");
        quv::PrintShare(reporter, channels + " channels / " + channels + " synchronous threads",
                        manyChannels, manyThreads, "no target: bounded by the hand-over below");
        quv::PrintShare(reporter, channels + " handed over / " + channels + " synchronous threads",
                        handedOver, manyThreads, "the most a synchronous hand-over allows");
        quv::PrintShare(reporter, channels + " channels / " + channels + " handed over",
                        manyChannels, handedOver, "the queue's own cost, target >= 0.85");
      });
}
