// The block codec against LZ4 and memcpy, in 10240-byte chunks (the package
// writer's chunk size) of a text corpus read from files every Debian machine
// has, and of recordset-like binary rows made here.

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

#include "server/common/fastlzw.h"

namespace quv {
namespace {

using TBytes = std::vector<std::uint8_t>;

constexpr std::size_t ChunkSize = 10240;
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

template <typename FCompress>
void RunCompress(benchmark::State& state, std::size_t bound, FCompress&& compress) {
  const TBytes& corpus = Corpus(state.range(0));
  TBytes block(bound);
  std::size_t compressed = 0;
  for (auto _ : state) {
    compressed = 0;
    ForEachChunk(corpus, [&](const std::uint8_t* chunk, std::size_t n) {
      compressed += compress(chunk, block.data(), n);
      benchmark::DoNotOptimize(block.data());
    });
    benchmark::ClobberMemory();
  }
  Report(state, corpus, compressed);
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

void BM_Compress_fastlzw(benchmark::State& state) {
  RunCompress(state, fastlzw::CompressBound(ChunkSize), FastLzwCompress);
}

void BM_Compress_lz4(benchmark::State& state) {
  RunCompress(state, std::size_t(LZ4_compressBound(int(ChunkSize))), Lz4Compress);
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

QUV_CORPUS_BENCHMARK(BM_Compress_fastlzw);
QUV_CORPUS_BENCHMARK(BM_Compress_lz4);
QUV_CORPUS_BENCHMARK(BM_Decompress_fastlzw);
QUV_CORPUS_BENCHMARK(BM_Decompress_lz4);
QUV_CORPUS_BENCHMARK(BM_Memcpy);

}  // namespace
}  // namespace quv

BENCHMARK_MAIN();
