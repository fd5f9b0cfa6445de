// A task-list reply of 1,000,000 rows: appending, reading every field by
// index, and a save followed by a load into another recordset against
// memcpy of the same bytes and against write() then read() of them on a
// temporary file (the rows of a large recordset live in one); then the
// temporary files made by small round trips (none expected).

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/RatioReporter.h"
#include "platform/TempFile.h"
#include "server/common/quvRecordset.h"

namespace {

constexpr int32_t kRows = 1000000;

std::unique_ptr<quv::TquvSymbolDefs> TaskDefs() {
  auto defs = std::make_unique<quv::TquvSymbolDefs>();
  defs->SetName("quvsystem.tasks.list");
  const struct {
    const char* Name;
    char Code;
    uint16_t Size;
  } fields[] = {{"requestid", 'N', 4},    {"clientdesc", 'A', 60}, {"requestdesc", 'A', 80},
                {"ellapsedtime", 'N', 4}, {"systemcmd", 'A', 40},  {"username", 'A', 30},
                {"cancelled", 'B', 0}};
  for (const auto& column : fields) {
    quv::TquvSymbolDef& field = defs->AddSymbol(column.Name);
    field.SetTypeCode(column.Code);
    field.SetSize(column.Size);
  }
  return defs;
}

std::vector<quv::TVariant> TaskRow(int32_t i) {
  return {i,
          "estacao-" + std::to_string(i % 97),
          "quvsystem.tasks.list",
          i % 5000,
          "SELECT",
          "operador",
          (i % 7) == 0};
}

std::unique_ptr<quv::TquvRecordset> Filled(int32_t rows) {
  auto recordset = std::make_unique<quv::TquvRecordset>();
  recordset->SetFieldDefs(TaskDefs());
  for (int32_t i = 0; i < rows; ++i) recordset->AppendValues(TaskRow(i));
  return recordset;
}

quv::TquvRecordset& Shared() {
  static std::unique_ptr<quv::TquvRecordset> recordset = Filled(kRows);
  return *recordset;
}

void BM_AppendValues(benchmark::State& state) {
  std::vector<std::vector<quv::TVariant>> rows;
  for (int32_t i = 0; i < 1000; ++i) rows.push_back(TaskRow(i));
  for (auto _ : state) {
    quv::TquvRecordset recordset;
    recordset.SetFieldDefs(TaskDefs());
    for (int32_t i = 0; i < kRows; ++i) recordset.AppendValues(rows[std::size_t(i % 1000)]);
    benchmark::DoNotOptimize(recordset.RecordCount());
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_ReadEveryField(benchmark::State& state) {
  quv::TquvRecordset& recordset = Shared();
  const int32_t fields = recordset.FieldCount();
  for (auto _ : state) {
    for (recordset.First(); !recordset.Eof(); recordset.Next())
      for (int32_t i = 0; i < fields; ++i)
        benchmark::DoNotOptimize(recordset.GetFieldValueByIndex(i));
  }
  state.SetItemsProcessed(state.iterations() * int64_t(kRows) * fields);
}

void BM_SaveAndLoad(benchmark::State& state) {
  quv::TquvRecordset& recordset = Shared();
  int64_t bytes = 0;
  for (auto _ : state) {
    quv::TMemoryStream stream;
    recordset.SaveToStream(stream, 0);
    stream.SetPosition(0);
    quv::TquvRecordset loaded;
    loaded.SetFieldDefs(TaskDefs());
    loaded.LoadFromStream(stream, false);
    bytes = stream.Size();
    benchmark::DoNotOptimize(loaded.RecordCount());
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}

void BM_MemcpySameBytes(benchmark::State& state) {
  quv::TquvRecordset& recordset = Shared();
  const auto size = std::size_t(recordset.DataStream().Size() + recordset.IndexStream().Size());
  std::vector<char> source(size, 'x');
  std::vector<char> copy(size, 'y');
  for (auto _ : state) {
    std::memcpy(copy.data(), source.data(), size);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t(size));
}

// The physical floor of a save and load whose rows spill to a file: the same
// bytes written to a new temporary file and read back, 4 MB per call.
void BM_FileWriteReadSameBytes(benchmark::State& state) {
  quv::TquvRecordset& recordset = Shared();
  const auto size = std::size_t(recordset.DataStream().Size() + recordset.IndexStream().Size());
  constexpr std::size_t kPiece = std::size_t(4) << 20;
  std::vector<char> source(size, 'x');
  std::vector<char> back(size);
  for (auto _ : state) {
    std::string name = quv::TempDirectory() + "bench_recordset.XXXXXX";
    const int file = mkstemp(name.data());
    if (file < 0) {
      state.SkipWithError("no temporary file");
      break;
    }
    unlink(name.c_str());
    for (std::size_t done = 0; done < size; done += kPiece)
      benchmark::DoNotOptimize(write(file, source.data() + done, std::min(kPiece, size - done)));
    lseek(file, 0, SEEK_SET);
    for (std::size_t done = 0; done < size; done += kPiece)
      benchmark::DoNotOptimize(read(file, back.data() + done, std::min(kPiece, size - done)));
    close(file);
  }
  state.SetBytesProcessed(state.iterations() * int64_t(size));
}

// The files of the temporary folder this process holds open, named or not
// (a new temporary file has no name in the folder until one is asked for).
int32_t TempFileCount() {
  const std::string folder = quv::TempDirectory();
  int32_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      char target[4096];
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t length = readlink(link.c_str(), target, sizeof target);
      count += length > 0 && std::string_view(target, std::size_t(length)).starts_with(folder);
    }
    closedir(dir);
  }
  return count;
}

// Counts temporary files open after each round trip while both recordsets live.
void BM_SmallRoundTripTempFiles(benchmark::State& state) {
  int64_t filesSeen = 0;
  const int32_t before = TempFileCount();
  for (auto _ : state) {
    for (int32_t i = 0; i < 10000; ++i) {
      auto params = Filled(1);
      quv::TMemoryStream stream;
      params->SaveToStream(stream, 0);
      stream.SetPosition(0);
      quv::TquvRecordset reply;
      reply.SetFieldDefs(TaskDefs());
      reply.LoadFromStream(stream, false);
      if (i % 1000 == 0) filesSeen += TempFileCount() - before;
    }
  }
  state.counters["temp_files"] = double(filesSeen);
  state.SetItemsProcessed(state.iterations() * 10000);
}

BENCHMARK(BM_AppendValues)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ReadEveryField)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SaveAndLoad)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileWriteReadSameBytes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SmallRoundTripTempFiles)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  quv::TRatioReporter reporter("bytes_per_second");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double load = reporter.Rate("BM_SaveAndLoad/iterations:3");
  const double memcpy = reporter.Rate("BM_MemcpySameBytes");
  const double file = reporter.Rate("BM_FileWriteReadSameBytes/iterations:3");
  if (load > 0 && memcpy > 0) {
    std::cout << "save+load: " << load / 1e6 << " MB/s = " << 100 * load / memcpy
              << "% of memcpy (target >= 500 MB/s and >= 25%)\n";
  }
  if (load > 0 && file > 0) {
    std::cout << "save+load: " << 100 * load / file << "% of write()+read() on a temporary file ("
              << file / 1e6 << " MB/s)\n";
  }
  benchmark::Shutdown();
  return 0;
}
