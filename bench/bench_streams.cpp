// Sequential write then read of 64 MB in 4096-byte pieces through a buffered
// temporary stream, beside memcpy of the same bytes and beside plain write()
// and read() calls on a temporary file; prints the ratios at the end.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "platform/TempFile.h"
#include "server/common/quvBufferedStreams.h"

namespace quv {
namespace {

constexpr int32_t kPiece = 4096;
constexpr int64_t kTotal = 64 << 20;

std::vector<uint8_t> Piece() {
  std::vector<uint8_t> piece(kPiece);
  for (int32_t i = 0; i < kPiece; ++i) piece[std::size_t(i)] = static_cast<uint8_t>(i * 31);
  return piece;
}

void CountBytes(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * 2 * kTotal);
}

// Argument: the buffer size asked for (0: the default, which grows to the
// file buffer size once the stream spills).
void BM_BufferedTempStream(benchmark::State& state) {
  const std::vector<uint8_t> piece = Piece();
  std::vector<uint8_t> back(kPiece);
  for (auto _ : state) {
    TquvBufferedTempStream stream(static_cast<int32_t>(state.range(0)));
    for (int64_t done = 0; done < kTotal; done += kPiece) stream.WriteBuffer(piece.data(), kPiece);
    stream.SetPosition(0);
    for (int64_t done = 0; done < kTotal; done += kPiece) stream.ReadBuffer(back.data(), kPiece);
    benchmark::DoNotOptimize(back.data());
  }
  CountBytes(state);
}
BENCHMARK(BM_BufferedTempStream)->Arg(8192)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t> piece = Piece();
  std::vector<uint8_t> store(kTotal), back(kPiece);
  for (auto _ : state) {
    for (int64_t done = 0; done < kTotal; done += kPiece)
      std::memcpy(store.data() + done, piece.data(), kPiece);
    benchmark::ClobberMemory();
    for (int64_t done = 0; done < kTotal; done += kPiece) {
      std::memcpy(back.data(), store.data() + done, kPiece);
      benchmark::DoNotOptimize(back.data());
    }
  }
  CountBytes(state);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainFile(benchmark::State& state) {
  const std::vector<uint8_t> piece = Piece();
  std::vector<uint8_t> back(kPiece);
  for (auto _ : state) {
    std::string name = TempDirectory() + "bench_streams.XXXXXX";
    const int file = mkstemp(name.data());
    unlink(name.c_str());
    for (int64_t done = 0; done < kTotal; done += kPiece)
      benchmark::DoNotOptimize(write(file, piece.data(), kPiece));
    lseek(file, 0, SEEK_SET);
    for (int64_t done = 0; done < kTotal; done += kPiece)
      benchmark::DoNotOptimize(read(file, back.data(), kPiece));
    close(file);
  }
  CountBytes(state);
}
BENCHMARK(BM_PlainFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void PrintRatios(const TRatioReporter& reporter) {
  const double copy = reporter.Rate("BM_Memcpy/real_time");
  const double plain = reporter.Rate("BM_PlainFile/real_time");
  for (const char* buffer : {"8192", "0"}) {
    const double stream =
        reporter.Rate(std::string("BM_BufferedTempStream/") + buffer + "/real_time");
    if (stream > 0 && copy > 0 && plain > 0) {
      char line[200];
      std::snprintf(line, sizeof line,
                    "buffer %s: stream %.0f MB/s, memcpy %.0f MB/s, write()/read() %.0f MB/s, "
                    "stream/memcpy %.3f, stream/file %.2f\n",
                    buffer, stream / 1e6, copy / 1e6, plain / 1e6, stream / copy, stream / plain);
      reporter.Notes() << line;
    }
  }
}

}  // namespace
}  // namespace quv

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(argc, argv, "bytes_per_second", quv::PrintRatios);
}
