// A task-list reply of 1,000,000 rows: appending, reading every field by
// index, and a save followed by a load into another recordset against
// write() then read() of the same bytes on a temporary file (the rows of a
// large recordset live in one) and beside memcpy; then the temporary files
// made by small round trips (none expected).

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
#include "client/quvClientScope.h"
#include "platform/Clock.h"
#include "platform/TempFile.h"
#include "server/common/quvRecordset.h"

namespace {

constexpr int32_t kRows = 1000000;
// The save and load figures are medians of this many runs, so that one
// disturbed run does not decide the ratio.
constexpr int kRepetitions = 5;

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

void SaveAndLoad(quv::TquvRecordset& recordset) {
  quv::TMemoryStream stream;
  recordset.SaveToStream(stream, 0);
  stream.SetPosition(0);
  quv::TquvRecordset loaded;
  loaded.SetFieldDefs(TaskDefs());
  loaded.LoadFromStream(stream, false);
  benchmark::DoNotOptimize(loaded.RecordCount());
}

// The bytes of a save: what the file floor moves.
int64_t SavedBytes(quv::TquvRecordset& recordset) {
  quv::TMemoryStream stream;
  recordset.SaveToStream(stream, 0);
  return stream.Size();
}

// The physical floor of a save and load whose rows spill to a file: `source`
// written to a new temporary file and read back into `back`, 4 MB per call.
// Both buffers are memory streams, laid out in memory as a saved recordset
// is (in huge pages where the system offers them).
bool FileWriteRead(quv::TMemoryStream& source, quv::TMemoryStream& back) {
  constexpr std::size_t kPiece = std::size_t(4) << 20;
  const auto size = static_cast<std::size_t>(source.Size());
  std::string name = quv::TempDirectory() + "bench_recordset.XXXXXX";
  const int file = mkstemp(name.data());
  if (file < 0) return false;
  unlink(name.c_str());
  for (std::size_t done = 0; done < size; done += kPiece)
    benchmark::DoNotOptimize(write(file, source.Memory() + done, std::min(kPiece, size - done)));
  lseek(file, 0, SEEK_SET);
  quv::THandleStream in(file);
  back.SetPosition(0);
  for (std::size_t done = 0; done < size; done += kPiece)
    benchmark::DoNotOptimize(back.WriteFrom(in, int64_t(std::min(kPiece, size - done))));
  close(file);
  return true;
}

// Nanoseconds that `step` takes.
template <class F>
int64_t Timed(F&& step) {
  const int64_t start = quv::Clock().Nanoseconds();
  step();
  return quv::Clock().Nanoseconds() - start;
}

// A save followed by a load into another recordset, and the file floor of
// the same bytes in turns, so that both meet the same page cache and the
// same load of this shared machine. The run's time and rate are those of
// save+load; the counters add the floor's rate and save+load's share of it.
void BM_SaveAndLoad(benchmark::State& state) {
  quv::TquvRecordset& recordset = Shared();
  const int64_t bytes = SavedBytes(recordset);
  quv::TMemoryStream source;
  quv::TMemoryStream back;
  source.SetSize(bytes);
  back.SetSize(bytes);
  // The floor's buffers are in use already; one round gives save+load the
  // same start.
  SaveAndLoad(recordset);
  int64_t loadNs = 0;
  int64_t fileNs = 0;
  for (auto _ : state) {
    const int64_t load = Timed([&recordset] { SaveAndLoad(recordset); });
    bool wrote = true;
    fileNs += Timed([&] { wrote = FileWriteRead(source, back); });
    if (!wrote) {
      state.SkipWithError("no temporary file");
      break;
    }
    loadNs += load;
    state.SetIterationTime(double(load) / 1e9);
  }
  if (loadNs == 0 || fileNs == 0) return;
  const double runs = double(state.iterations());
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["file_bytes_per_second"] = double(bytes) * runs / (double(fileNs) / 1e9);
  state.counters["of_file_floor"] = double(fileNs) / double(loadNs);
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
BENCHMARK(BM_SaveAndLoad)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseManualTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallRoundTripTempFiles)->Unit(benchmark::kMillisecond)->Iterations(1);

void PrintRatios(const quv::TRatioReporter& reporter) {
  const std::string load = quv::ManualTimeMedianOf("BM_SaveAndLoad/iterations:3", kRepetitions);
  const double rate = reporter.Rate(load);
  const double memcpy = reporter.Rate("BM_MemcpySameBytes");
  if (rate > 0) {
    reporter.Notes() << "save+load: " << rate / 1e6
                     << " MB/s = " << reporter.Counter(load, "of_file_floor")
                     << "x write()+read() of the same bytes on a temporary file ("
                     << reporter.Counter(load, "file_bytes_per_second") / 1e6
                     << " MB/s; target >= 0.8x)\n";
  }
  if (rate > 0 && memcpy > 0)
    reporter.Notes() << "save+load: " << rate / memcpy << "x memcpy of the rows\n";
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(argc, argv, "bytes_per_second", PrintRatios);
}
