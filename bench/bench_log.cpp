// Log at level 0 into one category, from one and from four threads, against a
// plain write() of the same bytes to a file. Prints lines per second and the
// ratio of each Log figure to its write() peer.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "platform/FileHandle.h"
#include "transport/logfiles.h"

namespace {

const std::string kMessage = "quvclient: Calling quvsystem.tasks.list on 10.0.0.5:6015";

struct TBenchFolder {
  TBenchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quvbench.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) Path = pattern;
    setenv("XDG_RUNTIME_DIR", Path.c_str(), 1);  // the lock files go here too
  }
  ~TBenchFolder() { std::filesystem::remove_all(Path); }
  std::string Path;
};

TBenchFolder& Folder() {
  static TBenchFolder folder;
  return folder;
}

quv::TLogFiles& Logs() {
  static quv::TLogFiles logs(Folder().Path, Folder().Path + "/bench_log", quv::TBrokerBridge());
  return logs;
}

void BM_Log(benchmark::State& state) {
  quv::TLogFiles& logs = Logs();
  for (auto _ : state) logs.Log(0, kMessage, "QUVCLIENT");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Log)->Threads(1)->Threads(4)->UseRealTime();

// The bytes of one log line, written with one write() each to a file opened for appending.
void BM_PlainWrite(benchmark::State& state) {
  static const quv::THandle file = quv::OpenFileForAppend(Folder().Path + "/plain.txt");
  quv::TLogRecord record;
  record.Message = kMessage;
  record.ThreadId = 12345;
  const std::string line = quv::FormatLogLine(record, getpid());
  for (auto _ : state) benchmark::DoNotOptimize(write(file, line.data(), line.size()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainWrite)->Threads(1)->Threads(4)->UseRealTime();

void PrintRatios(const quv::TRatioReporter& reporter) {
  for (const char* threads : {"threads:1", "threads:4"}) {
    const std::string suffix = std::string("/real_time/") + threads;
    const double log = reporter.Rate("BM_Log" + suffix);
    const double plain = reporter.Rate("BM_PlainWrite" + suffix);
    if (log > 0 && plain > 0) {
      char line[160];
      std::snprintf(line, sizeof line,
                    "%s: Log %.0f lines/s (%.2f us/line), write() %.0f lines/s, Log/write %.2f\n",
                    threads, log, 1e6 / log, plain, log / plain);
      reporter.Notes() << line;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(argc, argv, "items_per_second", PrintRatios);
}
