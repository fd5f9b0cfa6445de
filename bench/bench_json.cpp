// Parsing and writing a 10 MB JSON document beside nlohmann-json and the RapidJSON DOM, in the
// same run. Every rate counts the bytes of the same input text, so the ratios are ratios of time
// per document.

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "support/JSON.h"

namespace {

constexpr std::size_t kDocumentBytes = 10 * 1000 * 1000;
constexpr int kRepetitions = 5;

// One record: an object with integers, floats, literals, a nested object, a list and strings
// with escapes. ASCII only, so that every parser reads the same characters.
void AppendRecord(std::string& text, int i) {
  text += "{\"id\":" + std::to_string(i) + ",\"code\":\"C-" + std::to_string(i * 7919 % 100000) +
          "\",\"name\":\"Cliente \\\"" + std::to_string(i) +
          "\\\" Concei\\u00e7\\u00e3o\\\\Filial\\/Norte\",\"active\":" +
          (i % 3 == 0 ? "false" : "true") + ",\"price\":" + std::to_string(i % 1000) + "." +
          std::to_string(i % 97) + ",\"ratio\":" + std::to_string(i % 13) + ".5e-7,\"balance\":-" +
          std::to_string(i * 31) + ",\"note\":null,\"address\":{\"street\":\"Rua das Flores, " +
          std::to_string(i % 500) + "\",\"city\":\"S\\u00e3o Paulo\",\"zip\":\"01310-" +
          std::to_string(100 + i % 900) +
          "\"},\"tags\":[\"vip\",\"atacado\",\"line\\nbreak\\ttab\"],\"scores\":[" +
          std::to_string(i % 10) + "," + std::to_string(i % 100) + ",3.25,-1e3]}";
}

const std::string& Document() {
  static const std::string text = [] {
    std::string built = "[";
    for (int i = 0; built.size() < kDocumentBytes; ++i) {
      if (i > 0) built += ',';
      AppendRecord(built, i);
    }
    return built + "]";
  }();
  return text;
}

void CountBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Document().size()));
}

void BM_Parse_quv(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(quv::ParseJSON(Document()));
  CountBytes(state);
}

void BM_Parse_nlohmann(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(Document()));
  CountBytes(state);
}

void BM_Parse_rapidjson(benchmark::State& state) {
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(Document().data(), Document().size());
    benchmark::DoNotOptimize(document.HasParseError());
  }
  CountBytes(state);
}

void BM_Write_quv(benchmark::State& state) {
  const std::unique_ptr<quv::TJSONarray> document = quv::ParseJSON(Document());
  for (auto _ : state) benchmark::DoNotOptimize(document->Text());
  CountBytes(state);
}

void BM_Write_nlohmann(benchmark::State& state) {
  const nlohmann::json document = nlohmann::json::parse(Document());
  for (auto _ : state) benchmark::DoNotOptimize(document.dump());
  CountBytes(state);
}

void BM_Write_rapidjson(benchmark::State& state) {
  rapidjson::Document document;
  document.Parse(Document().data(), Document().size());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  CountBytes(state);
}

#define QUV_JSON_BENCHMARK(f)         \
  BENCHMARK(f)                        \
      ->Unit(benchmark::kMillisecond) \
      ->UseRealTime()                 \
      ->Repetitions(kRepetitions)     \
      ->ReportAggregatesOnly(true)

QUV_JSON_BENCHMARK(BM_Parse_quv);
QUV_JSON_BENCHMARK(BM_Parse_nlohmann);
QUV_JSON_BENCHMARK(BM_Parse_rapidjson);
QUV_JSON_BENCHMARK(BM_Write_quv);
QUV_JSON_BENCHMARK(BM_Write_nlohmann);
QUV_JSON_BENCHMARK(BM_Write_rapidjson);

// Prints how many times as long as `peer` this system takes (from the median rates).
void PrintRatio(const quv::TRatioReporter& reporter, const std::string& label,
                const std::string& ours, const std::string& peer, const std::string& target) {
  const double ourRate = reporter.Rate(quv::MedianOf(ours, kRepetitions));
  const double peerRate = reporter.Rate(quv::MedianOf(peer, kRepetitions));
  if (ourRate > 0 && peerRate > 0)
    reporter.Notes() << label << ": " << peerRate / ourRate << "x the time of " << peer
                     << " (target " << target << ")\n";
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  benchmark::Initialize(&argc, argv);
  quv::TRatioReporter reporter("bytes_per_second");
  reporter.Notes() << "Document: " << Document().size() << " bytes\n";
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintRatio(reporter, "Parse", "BM_Parse_quv", "BM_Parse_nlohmann", "< 1x");
  PrintRatio(reporter, "Parse", "BM_Parse_quv", "BM_Parse_rapidjson", "<= 2x");
  PrintRatio(reporter, "Write", "BM_Write_quv", "BM_Write_rapidjson", "<= 2x");
  PrintRatio(reporter, "Write", "BM_Write_quv", "BM_Write_nlohmann", "none");
  benchmark::Shutdown();
  return 0;
}
