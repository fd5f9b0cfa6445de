// The loader: applying a difference that changes 1% of a 50 MB file against
// copying that file, and the out-of-date check of 200 current interface
// files against quvserver on loopback (no file transferred).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "loader/quvDiff.h"
#include "loader/quvLoader.h"
#include "platform/Streams.h"
#include "server/common/quvViewStream.h"
#include "tests/kit/ServerProcess.h"

namespace {

// A fresh folder under /tmp, removed with its content.
class TBenchFolder final {
 public:
  TBenchFolder() {
    char pattern[] = "/tmp/quvbench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a folder in /tmp");
    FPath = pattern;
  }
  ~TBenchFolder() { std::filesystem::remove_all(FPath); }
  const std::string& Path() const { return FPath; }
  std::string WriteFile(const std::string& name, const std::string& content) const {
    const std::string path = FPath + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

 private:
  std::string FPath;
};

constexpr std::size_t kFileSize = 50 << 20;
// 64 changed bytes in every 6400: 1% of the file.
constexpr std::size_t kChangeEvery = 6400, kChangeLength = 64;
constexpr int kInterfaceFiles = 200;

// The 50 MB file, its 1% difference and a folder for the copies.
struct TDiffFixture {
  TDiffFixture() {
    std::string oldData(kFileSize, '\0');
    uint32_t state = 12345;
    for (char& c : oldData) c = static_cast<char>((state = state * 1103515245 + 12345) >> 24);
    std::string newData = oldData;
    for (std::size_t at = 0; at + kChangeLength <= newData.size(); at += kChangeEvery)
      for (std::size_t i = 0; i < kChangeLength; ++i) newData[at + i] ^= 0x55;
    OldName = Folder.WriteFile("old.bin", oldData);
    Diff = quv::MakeDifference(oldData, newData);
  }
  TBenchFolder Folder;
  std::string OldName;
  std::string Diff;
};

TDiffFixture& DiffFixture() {
  static TDiffFixture fixture;
  return fixture;
}

void BM_ApplyDifference(benchmark::State& state) {
  TDiffFixture& fixture = DiffFixture();
  for (auto _ : state) {
    quv::TFileStream old(fixture.OldName, quv::TFileMode::OpenRead);
    quv::TViewStream diff(fixture.Diff);
    quv::TFileStream output(fixture.Folder.Path() + "/applied.bin", quv::TFileMode::Create);
    quv::ApplyDifference(old, diff, output);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_CopyFile(benchmark::State& state) {
  TDiffFixture& fixture = DiffFixture();
  std::unique_ptr<char[]> buffer(new char[1 << 20]);
  for (auto _ : state) {
    const int in = ::open(fixture.OldName.c_str(), O_RDONLY);
    const int out =
        ::open((fixture.Folder.Path() + "/copy.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (ssize_t got; (got = ::read(in, buffer.get(), 1 << 20)) > 0;)
      benchmark::DoNotOptimize(::write(out, buffer.get(), static_cast<std::size_t>(got)));
    ::close(in);
    ::close(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// 200 interface files published and installed once.
struct TCheckFixture {
  TCheckFixture() : Server({"--files", Served.Path()}) {
    Served.WriteFile("_version.ini", "[Attributes]\r\nGlobalVersion=1\r\n");
    for (int i = 0; i < kInterfaceFiles; ++i) {
      const std::string name = "lib" + std::to_string(i) + ".quv";
      const std::string content = "interface file " + std::to_string(i);
      Served.WriteFile(name, content);
      Served.WriteFile(name + ".upd",
                       "[Attributes]\r\nCheckSum=" + std::to_string(quv::Crc32(content)) +
                           "\r\nAge=1600000000\r\n");
    }
    UpdateAll();
  }
  void UpdateAll() {
    quv::TquvLoader loader(Server.Address());
    for (int i = 0; i < kInterfaceFiles; ++i)
      loader.Update(Program.Path(), "lib" + std::to_string(i) + ".quv");
  }
  TBenchFolder Served, Program;
  quv::testing::TServerProcess Server;
};

// A process's first look at its 200 files: the global version is fetched
// once, each descriptor is current in the cache, nothing else travels.
void BM_OutOfDateCheck200(benchmark::State& state) {
  static TCheckFixture fixture;
  for (auto _ : state) fixture.UpdateAll();
  state.counters["checks_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ApplyDifference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OutOfDateCheck200)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(
      argc, argv, "bytes_per_second", [](const quv::TRatioReporter& reporter) {
        const double apply = reporter.Rate("BM_ApplyDifference/real_time");
        const double copy = reporter.Rate("BM_CopyFile/real_time");
        if (apply > 0 && copy > 0)
          reporter.Notes() << "applying a 1% difference of 50 MB: " << copy / apply
                           << "x the time of copying the file (target <= 2x)\n";
      });
}
