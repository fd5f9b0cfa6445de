// Calls against the application server on loopback beside raw TCP moving
// the same bytes: the round trip of a one-row call against a ping-pong, and
// a reply of a million task rows against a plain transfer.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <vector>

#include "bench/RatioReporter.h"
#include "bench/RawCall.h"
#include "client/quvClientScope.h"
#include "server/common/quvIntfRegistry.h"
#include "server/common/quvRecordset.h"
#include "tests/kit/ServerProcess.h"
#include "transport/quvCallExchange.h"
#include "transport/quvCallKinds.h"
#include "transport/quvClientConn.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

using bench::kAckBytes;
using bench::ReceiveAll;
using bench::SendAll;
using bench::TRawPeer;

constexpr int32_t kReplyRows = 1000000;
// Each figure is the median of this many runs, so that one disturbed run
// does not decide a ratio.
constexpr int kRepetitions = 5;

testing::TServerProcess& Server() {
  static testing::TServerProcess server;
  return server;
}

// One call the way the remote-call client makes it; the reply lands in `result`.
void Call(TCustomConn& conn, const std::string& method, bool compressed, TquvRecordset& parameters,
          TquvRecordset& result) {
  TquvPackage package(conn);
  TquvCommandHeader header;
  header.RequestNumber = 1;
  header.MethodName = method;
  header.Compression = compressed ? 1 : 0;
  const TquvCallOutcome outcome = ExchangeCall(
      package, header, "",
      [&parameters](TquvPackageWriter& writer) {
        writer.WriteCommandAsRecordset(&parameters, false, false);
      },
      [&result](TquvPackageReader& reader) { reader.ReadCommandAsRecordset(&result); }, {});
  if (header.ResultKind == kResultError) throw Exception(outcome.ErrorText);
}

std::unique_ptr<TquvRecordset> OneRow(const std::string& method, std::vector<TVariant> values) {
  auto recordset = std::make_unique<TquvRecordset>("", method);
  recordset->AppendValues(values);
  return recordset;
}

std::unique_ptr<TquvRecordset> EchoParameters() {
  return OneRow("quvtest.test.echo",
                {TVariant(42), TVariant("Cliente de teste"), TVariant::FromCurrency(1),
                 TVariant(true), TVariant("uma nota curta")});
}

void BM_CallRoundTrip(benchmark::State& state) {
  TClientConn conn(Server().Address(), true);
  const auto parameters = EchoParameters();
  for (auto _ : state) {
    TquvRecordset result;
    Call(conn, "quvtest.test.echo", false, *parameters, result);
    benchmark::DoNotOptimize(result.RecordCount());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CallRoundTrip)->UseRealTime()->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_RawPingPongSameBytes(benchmark::State& state) {
  const auto parameters = EchoParameters();
  bench::RawCallPingPong(state, bench::CallPackageBytes("quvtest.test.echo", "", *parameters));
}
BENCHMARK(BM_RawPingPongSameBytes)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// The uncompressed bytes of the million-row reply.
int64_t ReplyBytes() {
  static const int64_t bytes = [] {
    TClientConn conn(Server().Address(), true);
    const auto parameters = OneRow("quvtest.test.rows", {TVariant(kReplyRows)});
    TquvRecordset result;
    Call(conn, "quvtest.test.rows", false, *parameters, result);
    return bench::CallPackageBytes("quvtest.test.rows", "", result);
  }();
  return bytes;
}

void BM_RowsReply(benchmark::State& state) {
  const bool compressed = state.range(0) != 0;
  const int64_t bytes = ReplyBytes();
  TClientConn conn(Server().Address(), true);
  const auto parameters = OneRow("quvtest.test.rows", {TVariant(kReplyRows)});
  for (auto _ : state) {
    TquvRecordset result;
    Call(conn, "quvtest.test.rows", compressed, *parameters, result);
    if (result.RecordCount() != kReplyRows) state.SkipWithError("short reply");
  }
  state.SetItemsProcessed(state.iterations() * kReplyRows);
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_RowsReply)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_RawTransferSameBytes(benchmark::State& state) {
  const int64_t bytes = ReplyBytes();
  // The acknowledgement of each reply travels with the next request.
  TRawPeer peer(2 * kAckBytes, bytes);
  std::vector<uint8_t> in(static_cast<std::size_t>(bytes));
  const uint8_t acks[2 * kAckBytes] = {};
  for (auto _ : state) {
    SendAll(peer.Client, acks, sizeof acks);
    ReceiveAll(peer.Client, in.data(), bytes);
  }
  state.SetItemsProcessed(state.iterations() * kReplyRows);
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_RawTransferSameBytes)
    ->Iterations(3)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void PrintRatio(const TRatioReporter& reporter, const char* text, const std::string& call,
                const std::string& raw) {
  const double share = RateShare(reporter, call, raw);
  if (share > 0) reporter.Notes() << text << ": " << 100 * share << "% of raw\n";
}

}  // namespace
}  // namespace quv

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  benchmark::Initialize(&argc, argv);
  quv::TRatioReporter reporter("items_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  quv::PrintRoundTripRatio(reporter, "call round trip",
                           quv::MedianOf("BM_CallRoundTrip", quv::kRepetitions),
                           quv::MedianOf("BM_RawPingPongSameBytes", quv::kRepetitions));
  quv::PrintRatio(reporter, "rows reply uncompressed (target >= 50%)",
                  quv::MedianOf("BM_RowsReply/0/iterations:3", quv::kRepetitions),
                  quv::MedianOf("BM_RawTransferSameBytes/iterations:3", quv::kRepetitions));
  quv::PrintRatio(reporter, "rows reply compressed",
                  quv::MedianOf("BM_RowsReply/1/iterations:3", quv::kRepetitions),
                  quv::MedianOf("BM_RawTransferSameBytes/iterations:3", quv::kRepetitions));
  benchmark::Shutdown();
  return 0;
}
