// Interface files: opening a file of 2,000 interfaces, looking every one up
// by dotted name, and loading the definition sets of one interface of 200
// fields, beside reading the same file's bytes with one read().

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "server/common/quvIntfRegistry.h"
#include "tests/kit/IntfTestFiles.h"

namespace quv {
namespace {

constexpr int kInterfaces = 2000;
constexpr int kFieldsPerInterface = 8;
constexpr int kBigFields = 200;

// A folder with bench.quv, removed at exit.
class TBenchFile {
 public:
  TBenchFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quvbench.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    FFolder = pattern;
    std::vector<testing::TTestInterface> interfaces;
    for (int i = 0; i < kInterfaces; ++i) {
      std::vector<std::string> fields;
      const int count = i == 0 ? kBigFields : kFieldsPerInterface;
      for (int f = 0; f < count; ++f) fields.push_back("field" + std::to_string(f));
      interfaces.emplace_back(Name(i), std::move(fields));
    }
    const std::string bytes = testing::CurrentFile(interfaces);
    std::ofstream(Path(), std::ios::binary) << bytes;
    FSize = bytes.size();
  }
  ~TBenchFile() { std::filesystem::remove_all(FFolder); }

  static std::string Name(int i) {
    return "module" + std::to_string(i % 50) + ".interface" + std::to_string(i);
  }
  std::string Path() const { return FFolder + "/bench.quv"; }
  const std::string& Folder() const { return FFolder; }
  std::size_t Size() const { return FSize; }

 private:
  std::string FFolder;
  std::size_t FSize = 0;
};

const TBenchFile& File() {
  static const TBenchFile file;
  return file;
}

TquvLibraryOptions Options() { return {File().Folder(), true, false}; }

void BM_ReadFileBytesWithOneRead(benchmark::State& state) {
  std::vector<char> buffer(File().Size());
  for (auto _ : state) {
    const int fd = open(File().Path().c_str(), O_RDONLY);
    benchmark::DoNotOptimize(read(fd, buffer.data(), buffer.size()));
    close(fd);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(File().Size()));
}
BENCHMARK(BM_ReadFileBytesWithOneRead);

void BM_OpenFileOf2000Interfaces(benchmark::State& state) {
  for (auto _ : state) {
    TquvInterfaces registry(Options());
    benchmark::DoNotOptimize(registry.InternalGetItem("bench").Count());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(File().Size()));
}
BENCHMARK(BM_OpenFileOf2000Interfaces);

void BM_LookUpEveryInterfaceByDottedName(benchmark::State& state) {
  TquvInterfaces registry(Options());
  std::vector<std::string> names;
  for (int i = 0; i < kInterfaces; ++i) names.push_back("bench." + TBenchFile::Name(i));
  registry.InternalGetItem("bench");
  for (auto _ : state)
    for (const std::string& name : names) benchmark::DoNotOptimize(registry.GetInterface(name));
  state.SetItemsProcessed(int64_t(state.iterations()) * kInterfaces);
}
BENCHMARK(BM_LookUpEveryInterfaceByDottedName);

void BM_LoadDefinitionsOf200Fields(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto registry = std::make_unique<TquvInterfaces>(Options());
    TquvInterfaceRef intf = registry->GetInterface("bench." + TBenchFile::Name(0));
    state.ResumeTiming();
    benchmark::DoNotOptimize(intf->Defs().Count());
    state.PauseTiming();
    intf.reset();
    registry.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kBigFields);
}
BENCHMARK(BM_LoadDefinitionsOf200Fields);

}  // namespace
}  // namespace quv

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunBenchmarks(argc, argv);
}
