// The block codec against LZ4 and memcpy, in 10240-byte chunks (the package
// writer's chunk size) of a text corpus read from files every Debian machine
// has, and of recordset-like binary rows made here; prints the codec's
// compression rate over LZ4's.

#include <benchmark/benchmark.h>
#include <lz4.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "platform/Clock.h"
#include "server/common/fastlzw.h"

namespace quv {
namespace {

using TBytes = std::vector<std::uint8_t>;

constexpr std::size_t ChunkSize = 10240;
// The compression figures are medians of this many runs, so that one
// disturbed run does not decide a ratio.
constexpr int kRepetitions = 5;
constexpr std::size_t CorpusSize = 8 << 20;

// Text files (no NUL byte) under a few system folders, in path order, until
// CorpusSize bytes are gathered. Missing folders are skipped.
TBytes TextCorpus() {
  namespace fs = std::filesystem;
  std::vector<fs::path> paths;
  for (const char* root : {"/usr/share/common-licenses", "/usr/include", "/usr/share/doc"}) {
    std::error_code error;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, error),
         end;
         it != end; it.increment(error)) {
      if (it->is_regular_file(error)) paths.push_back(it->path());
    }
  }
  std::sort(paths.begin(), paths.end());
  TBytes corpus;
  for (const fs::path& path : paths) {
    std::ifstream file(path, std::ios::binary);
    const TBytes content{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (std::find(content.begin(), content.end(), 0) != content.end()) continue;
    corpus.insert(corpus.end(), content.begin(), content.end());
    if (corpus.size() >= CorpusSize) break;
  }
  corpus.resize(std::min(corpus.size(), CorpusSize));
  return corpus;
}

class TRowWriter {
 public:
  explicit TRowWriter(TBytes& out) : FOut(out) {}
  template <typename T>
  void Put(T value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    FOut.insert(FOut.end(), p, p + sizeof value);
  }
  void PutText(const std::string& text) {
    Put(std::int32_t(text.size()));
    FOut.insert(FOut.end(), text.begin(), text.end());
  }
  void PutFixed(const std::string& text, std::size_t width) {
    FOut.insert(FOut.end(), text.begin(), text.end());
    FOut.insert(FOut.end(), width - text.size(), ' ');
  }

 private:
  TBytes& FOut;
};

// Serialised rows of a task-like table: ids, codes, texts with a length in
// front, space-padded fixed-width texts, date-times, money and flags.
TBytes RowCorpus() {
  static const char* const kUsers[] = {"maria.silva", "joao.souza", "ana.costa",  "pedro.alves",
                                       "carla.dias",  "rui.nunes",  "sofia.lima", "tiago.rocha"};
  static const char* const kCommands[] = {"quvsystem.tasks.list",      "quvsystem.sessions.list",
                                          "vendas.pedidos.gravar",     "estoque.produtos.consultar",
                                          "financeiro.titulos.baixar", "fiscal.notas.emitir"};
  std::mt19937 random(42);
  TBytes corpus;
  TRowWriter row(corpus);
  for (std::int32_t id = 1; corpus.size() < CorpusSize; ++id) {
    row.Put(id);
    row.Put(std::int32_t(random() % 5));
    row.PutText(kUsers[random() % std::size(kUsers)]);
    row.PutText(kCommands[random() % std::size(kCommands)]);
    row.PutFixed("Cliente " + std::to_string(random() % 2000), 40);
    row.Put(45000.0 + id / 1440.0);
    row.Put(std::int64_t(random() % 10000000) * 100);
    row.Put(std::int32_t(random() % 100));
    row.Put(std::uint8_t(random() % 2));
  }
  corpus.resize(CorpusSize);
  return corpus;
}

const TBytes& Corpus(std::int64_t kind) {
  static const TBytes text = TextCorpus();
  static const TBytes rows = RowCorpus();
  return kind == 0 ? text : rows;
}

const char* CorpusName(std::int64_t kind) { return kind == 0 ? "text" : "rows"; }

template <typename F>
void ForEachChunk(const TBytes& corpus, F&& f) {
  for (std::size_t at = 0; at < corpus.size(); at += ChunkSize) {
    f(corpus.data() + at, std::min(ChunkSize, corpus.size() - at));
  }
}

// Compressed chunks laid end to end, with each block's offset and length.
struct TBlocks {
  TBytes Data;
  std::vector<std::pair<std::size_t, std::size_t>> Spans;
};

template <typename FCompress>
TBlocks CompressCorpus(const TBytes& corpus, std::size_t bound, FCompress&& compress) {
  TBlocks blocks;
  TBytes block(bound);
  ForEachChunk(corpus, [&](const std::uint8_t* chunk, std::size_t n) {
    const std::size_t length = compress(chunk, block.data(), n);
    blocks.Spans.emplace_back(blocks.Data.size(), length);
    blocks.Data.insert(blocks.Data.end(), block.begin(), block.begin() + length);
  });
  return blocks;
}

std::size_t FastLzwCompress(const std::uint8_t* chunk, std::uint8_t* block, std::size_t n) {
  static fastlzw::TWorkArea workArea;
  return fastlzw::Compress(chunk, block, n, workArea);
}

std::size_t Lz4Compress(const std::uint8_t* chunk, std::uint8_t* block, std::size_t n) {
  return std::size_t(LZ4_compress_default(reinterpret_cast<const char*>(chunk),
                                          reinterpret_cast<char*>(block), int(n),
                                          LZ4_compressBound(int(ChunkSize))));
}

std::size_t FastLzwDecompress(const std::uint8_t* block, std::uint8_t* chunk, std::size_t l) {
  return fastlzw::Decompress(block, chunk, l, ChunkSize);
}

std::size_t Lz4Decompress(const std::uint8_t* block, std::uint8_t* chunk, std::size_t l) {
  return std::size_t(LZ4_decompress_safe(reinterpret_cast<const char*>(block),
                                         reinterpret_cast<char*>(chunk), int(l), int(ChunkSize)));
}

void Report(benchmark::State& state, const TBytes& corpus, std::size_t compressed) {
  state.SetBytesProcessed(std::int64_t(state.iterations() * corpus.size()));
  state.SetLabel(CorpusName(state.range(0)));
  if (compressed > 0) state.counters["ratio"] = double(compressed) / double(corpus.size());
}

// Nanoseconds of one pass of `compress` over the chunks of `corpus`; the
// compressed length lands in `compressed`.
template <typename FCompress>
std::int64_t TimedPass(const TBytes& corpus, TBytes& block, FCompress&& compress,
                       std::size_t& compressed) {
  const std::int64_t start = Clock().Nanoseconds();
  compressed = 0;
  ForEachChunk(corpus, [&](const std::uint8_t* chunk, std::size_t n) {
    compressed += compress(chunk, block.data(), n);
    benchmark::DoNotOptimize(block.data());
  });
  benchmark::ClobberMemory();
  return Clock().Nanoseconds() - start;
}

template <typename FCompress, typename FDecompress>
void RunDecompress(benchmark::State& state, std::size_t bound, FCompress&& compress,
                   FDecompress&& decompress) {
  const TBytes& corpus = Corpus(state.range(0));
  const TBlocks blocks = CompressCorpus(corpus, bound, compress);
  TBytes chunk(ChunkSize);
  TBytes decoded;
  for (const auto& [offset, length] : blocks.Spans) {
    const std::size_t n = decompress(blocks.Data.data() + offset, chunk.data(), length);
    decoded.insert(decoded.end(), chunk.begin(), chunk.begin() + n);
  }
  if (decoded != corpus) {
    state.SkipWithError("decoded bytes differ from the corpus");
    return;
  }
  for (auto _ : state) {
    for (const auto& [offset, length] : blocks.Spans) {
      benchmark::DoNotOptimize(decompress(blocks.Data.data() + offset, chunk.data(), length));
    }
    benchmark::ClobberMemory();
  }
  Report(state, corpus, blocks.Data.size());
}

// The codec and LZ4 compress the corpus in turns, so that both meet the same
// load of this shared machine. The run's time and rate are the codec's; the
// counters add LZ4's rate and the codec's rate over it.
void BM_Compress(benchmark::State& state) {
  const TBytes& corpus = Corpus(state.range(0));
  TBytes block(
      std::max(fastlzw::CompressBound(ChunkSize), std::size_t(LZ4_compressBound(int(ChunkSize)))));
  std::size_t compressed = 0;
  std::size_t lz4Compressed = 0;
  std::int64_t ownNs = 0;
  std::int64_t lz4Ns = 0;
  for (auto _ : state) {
    const std::int64_t own = TimedPass(corpus, block, FastLzwCompress, compressed);
    lz4Ns += TimedPass(corpus, block, Lz4Compress, lz4Compressed);
    ownNs += own;
    state.SetIterationTime(double(own) / 1e9);
  }
  Report(state, corpus, compressed);
  state.counters["lz4_bytes_per_second"] =
      double(state.iterations()) * double(corpus.size()) / (double(lz4Ns) / 1e9);
  state.counters["lz4_ratio"] = double(lz4Compressed) / double(corpus.size());
  state.counters["of_lz4"] = double(lz4Ns) / double(ownNs);
}

void BM_Decompress_fastlzw(benchmark::State& state) {
  RunDecompress(state, fastlzw::CompressBound(ChunkSize), FastLzwCompress, FastLzwDecompress);
}

void BM_Decompress_lz4(benchmark::State& state) {
  RunDecompress(state, std::size_t(LZ4_compressBound(int(ChunkSize))), Lz4Compress, Lz4Decompress);
}

void BM_Memcpy(benchmark::State& state) {
  const TBytes& corpus = Corpus(state.range(0));
  TBytes chunk(ChunkSize);
  for (auto _ : state) {
    ForEachChunk(corpus, [&](const std::uint8_t* source, std::size_t n) {
      std::memcpy(chunk.data(), source, n);
      benchmark::DoNotOptimize(chunk.data());
    });
    benchmark::ClobberMemory();
  }
  Report(state, corpus, 0);
}

#define QUV_CORPUS_BENCHMARK(f) BENCHMARK(f)->ArgName("corpus")->Arg(0)->Arg(1)

BENCHMARK(BM_Compress)
    ->ArgName("corpus")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
QUV_CORPUS_BENCHMARK(BM_Decompress_fastlzw);
QUV_CORPUS_BENCHMARK(BM_Decompress_lz4);
QUV_CORPUS_BENCHMARK(BM_Memcpy);

// Prints the codec's median compression rate over LZ4's for each corpus.
void PrintRatios(const TRatioReporter& reporter) {
  for (std::int64_t kind : {0, 1}) {
    const std::string median =
        ManualTimeMedianOf("BM_Compress/corpus:" + std::to_string(kind), kRepetitions);
    const double ratio = reporter.Counter(median, "of_lz4");
    if (ratio > 0)
      reporter.Notes() << "compression, " << CorpusName(kind) << ": " << ratio
                       << "x the rate of LZ4 (target >= 0.5x)\n";
  }
}

}  // namespace
}  // namespace quv

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(argc, argv, "bytes_per_second", quv::PrintRatios);
}
