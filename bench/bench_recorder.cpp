// The flight recorder over a simulated fleet of 500 servers running 10 tasks
// each, every task living from 10 s to an hour (log-uniform) before the next
// takes its place, with users, methods and workstations from small sets:
//
// - the CPU time of a refresh (the view reading 500 hosts' replies, as the
//   refresh's thread does) with and without recording it (the recorder's
//   Submit and its writer thread), as process CPU time, against the target
//   of at most 1.05 times;
// - the bytes per recorded span of a simulated day written through the
//   recorder (a refresh every 5 s), file and indexes included, against 64;
// - over 14 simulated days, "what ran at 03:00" against 100 ms and "the
//   longest 20 of a day" against 500 ms. Recording 14 days through refreshes
//   would take long, so those days are written straight through the
//   recorder's own span writer (TSpanWriter), span by span in the order of
//   first sight, into the same rows a recorder writes.

#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/FleetView.h"
#include "app/RecordFile.h"
#include "app/RecordReader.h"
#include "app/Recorder.h"
#include "app/SpanWriter.h"
#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"

namespace {

constexpr std::size_t kServers = 500;
constexpr std::size_t kSlots = 10;  // tasks running on each server at any time
constexpr int64_t kMsPerDay = 86400000;
constexpr double kDayOne = 46000;  // the simulated days begin at midnight of this date-time
constexpr int kDays = 14;
constexpr double kCpuTarget = 1.05, kBytesTarget = 64, kAtTargetMs = 100, kLongestTargetMs = 500;

double DateTime(int64_t ms) { return kDayOne + double(ms) / kMsPerDay; }

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

const std::vector<std::string>& Hosts() {
  static const std::vector<std::string> hosts = [] {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < kServers; ++i)
      lines.push_back("srv" + std::to_string(i) + "=10.3." + std::to_string(i / 250) + "." +
                      std::to_string(i % 250));
    return lines;
  }();
  return hosts;
}

// One task of the simulation: its server's request id, when it starts and
// ends (milliseconds since the first day began) and its texts.
struct TSimTask {
  int32_t RequestId = 0;
  int64_t Start = 0;
  int64_t End = 0;
  int User = 0, Method = 0, Workstation = 0;
};

// The tasks of every slot of every server, one after another.
class TSimulatedFleet final {
 public:
  TSimulatedFleet() : FRandom(7), FSlots(kServers * kSlots), FNextId(kServers, 1000) {
    for (std::size_t slot = 0; slot < FSlots.size(); ++slot) {
      // Begin as if the fleet had run for a while: tasks part-way through.
      FSlots[slot] = Next(slot, 0);
      FSlots[slot].Start -= std::uniform_int_distribution<int64_t>(0, Lifetime())(FRandom);
    }
  }

  static std::size_t ServerOf(std::size_t slot) { return slot / kSlots; }
  std::size_t Slots() const { return FSlots.size(); }
  const TSimTask& At(std::size_t slot) const { return FSlots[slot]; }
  // The task that follows the one of `slot`.
  const TSimTask& Advance(std::size_t slot) { return FSlots[slot] = Next(slot, FSlots[slot].End); }
  // Every slot's task running at `ms`.
  void AdvanceTo(int64_t ms) {
    for (std::size_t slot = 0; slot < FSlots.size(); ++slot)
      while (FSlots[slot].End <= ms) Advance(slot);
  }

  static std::string User(int n) { return "usuario" + std::to_string(n); }
  static std::string Method(int n) { return "app.relatorio.mensal" + std::to_string(n); }
  static std::string Workstation(int n) { return "estacao" + std::to_string(n) + ".filial"; }

 private:
  int64_t Lifetime() {
    // log-uniform from 10 s to an hour
    return int64_t(10000 *
                   std::exp(std::uniform_real_distribution<double>(0, std::log(360.0))(FRandom)));
  }
  TSimTask Next(std::size_t slot, int64_t start) {
    TSimTask task;
    task.RequestId = FNextId[ServerOf(slot)]++;
    task.Start = start;
    task.End = start + Lifetime();
    task.User = std::uniform_int_distribution<int>(0, 39)(FRandom);
    task.Method = std::uniform_int_distribution<int>(0, 59)(FRandom);
    task.Workstation = std::uniform_int_distribution<int>(0, 199)(FRandom);
    return task;
  }

  std::mt19937 FRandom;
  std::vector<TSimTask> FSlots;
  std::vector<int32_t> FNextId;
};

quv::TTaskRow TaskRow(const TSimTask& task, std::size_t server, int64_t now) {
  quv::TTaskRow row;
  row.RequestId = task.RequestId;
  row.HostLine = Hosts()[server];
  row.Host = server;
  row.ElapsedTime = int32_t(now - task.Start);
  row.UserName = TSimulatedFleet::User(task.User);
  row.RequestDesc = TSimulatedFleet::Method(task.Method);
  row.ClientDesc = TSimulatedFleet::Workstation(task.Workstation);
  return row;
}

// One server's reply at an instant: the tasks of its slots.
class TSimReply final : public quv::IReplyRows {
 public:
  TSimReply(const TSimulatedFleet& fleet, std::size_t server, int64_t now)
      : FFleet(fleet), FServer(server), FNow(now) {}
  bool Eof() const override { return FAt >= kSlots; }
  void Next() override { ++FAt; }
  std::string FieldText(const std::string& name) const override {
    const TSimTask& task = FFleet.At(FServer * kSlots + FAt);
    if (name == "requestid") return std::to_string(task.RequestId);
    if (name == "clientdesc") return TSimulatedFleet::Workstation(task.Workstation);
    if (name == "requestdesc") return TSimulatedFleet::Method(task.Method);
    if (name == "ellapsedtime") return std::to_string(FNow - task.Start);
    if (name == "username") return TSimulatedFleet::User(task.User);
    return "false";
  }
  std::vector<std::pair<std::string, std::string>> RowFields(std::size_t) const override {
    return {};
  }

 private:
  const TSimulatedFleet& FFleet;
  std::size_t FServer;
  int64_t FNow;
  std::size_t FAt = 0;
};

std::vector<quv::THostStatus> Answering() {
  return std::vector<quv::THostStatus>(kServers,
                                       quv::THostStatus{quv::THostState::Answering, "", 5, 0});
}

struct TTempFile {
  std::string Path;
  explicit TTempFile(const std::string& name)
      : Path((std::filesystem::temp_directory_path() / name).string()) {
    Remove();
  }
  ~TTempFile() { Remove(); }
  void Remove() const {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(Path + suffix);
  }
};

// Waits until the recorder's writer has caught up to within a few refreshes,
// so that none is dropped however fast the refreshes come.
void WaitForWriter(const quv::TRecorder& recorder, std::size_t submitted) {
  while (recorder.Written() + recorder.Dropped() + 4 < submitted)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// A refresh every second: the view reads 500 hosts' replies, and hands them
// to the recorder when `record`. Process CPU time per refresh once the
// recorder runs (its first refresh writes every task at once).
void BM_Refresh(benchmark::State& state) {
  const bool record = state.range(0) != 0;
  constexpr int kWarmUp = 20, kRefreshes = 200;
  for (auto _ : state) {
    TTempFile file("bench_recorder_cpu.db");
    TSimulatedFleet fleet;
    quv::TFleetView view(Hosts(), false);
    double started = 0;
    {
      std::unique_ptr<quv::TRecorder> recorder;
      if (record) recorder = std::make_unique<quv::TRecorder>(file.Path);
      for (int refresh = 0; refresh < kWarmUp + kRefreshes; ++refresh) {
        if (refresh == kWarmUp) {
          if (recorder) WaitForWriter(*recorder, refresh + 4);
          started = ProcessCpuSeconds();
        }
        const int64_t now = refresh * 1000;
        fleet.AdvanceTo(now);
        view.Take(view.ReadReplies(false, Answering(), [&](std::size_t host) {
          return std::make_unique<TSimReply>(fleet, host, now);
        }));
        if (!recorder) continue;
        recorder->Submit(quv::RefreshToRecord(view, false, DateTime(now)));
        WaitForWriter(*recorder, refresh + 1);
      }
      if (recorder) WaitForWriter(*recorder, kWarmUp + kRefreshes + 4);
      state.SetIterationTime((ProcessCpuSeconds() - started) / kRefreshes);
    }
  }
  state.counters["refreshes_per_second"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Refresh)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A day recorded through the recorder, a refresh every 5 s; the file's size
// over the spans it holds.
void BM_DayOfSpans(benchmark::State& state) {
  constexpr int64_t kInterval = 5000;
  double bytesPerSpan = 0, spans = 0;
  for (auto _ : state) {
    TTempFile file("bench_recorder_day.db");
    TSimulatedFleet fleet;
    {
      quv::TRecorder recorder(file.Path);
      std::vector<quv::THostRow> hosts;
      for (const std::string& line : Hosts())
        hosts.push_back({line, {quv::THostState::Answering, "", 5, 0}, {}});
      std::size_t submitted = 0;
      for (int64_t now = 0; now <= kMsPerDay; now += kInterval) {
        fleet.AdvanceTo(now);
        quv::TRecordedRefresh refresh;
        refresh.When = DateTime(now);
        refresh.Hosts = hosts;
        auto tasks = std::make_shared<std::vector<quv::TTaskRow>>();
        for (std::size_t slot = 0; slot < fleet.Slots(); ++slot)
          tasks->push_back(TaskRow(fleet.At(slot), TSimulatedFleet::ServerOf(slot), now));
        refresh.Tasks = std::move(tasks);
        recorder.Submit(std::move(refresh));
        WaitForWriter(recorder, ++submitted);
      }
    }
    quv::TRecordFile record(file.Path, false);
    quv::TSqlStatement count(record.Db(), "SELECT count(*) FROM tasks");
    count.Step();
    spans = double(count.Integer(0));
    bytesPerSpan = double(std::filesystem::file_size(file.Path)) / spans;
  }
  state.counters["spans"] = spans;
  state.counters["bytes_per_span"] = bytesPerSpan;
}
BENCHMARK(BM_DayOfSpans)->Iterations(1)->Unit(benchmark::kSecond);

// A span as the recorder leaves it: first and last seen at refreshes 5 s
// apart, found ended at the next one.
struct TSimSpan {
  int64_t FirstSeen;
  std::size_t Slot;
  TSimTask Task;
  bool operator>(const TSimSpan& other) const { return FirstSeen > other.FirstSeen; }
};

constexpr int64_t kBulkInterval = 5000;

// The span of `task` if a refresh saw it.
std::optional<TSimSpan> SpanOf(std::size_t slot, const TSimTask& task) {
  const int64_t firstSeen = (task.Start + kBulkInterval - 1) / kBulkInterval * kBulkInterval;
  if (firstSeen >= task.End) return std::nullopt;
  return TSimSpan{firstSeen, slot, task};
}

// 14 days of the fleet written span by span through the recorder's span
// writer, in the order of first sight, as a recorder would have left them.
const std::string& FortnightFile() {
  static const TTempFile file("bench_recorder_fortnight.db");
  static const bool written = [] {
    quv::TRecordFile record(file.Path, true);
    quv::TSpanWriter writer(record);
    TSimulatedFleet fleet;
    std::priority_queue<TSimSpan, std::vector<TSimSpan>, std::greater<>> next;
    const auto queueNext = [&](std::size_t slot) {
      for (;;) {
        if (const auto span = SpanOf(slot, fleet.Advance(slot))) return next.push(*span);
      }
    };
    for (std::size_t slot = 0; slot < fleet.Slots(); ++slot) queueNext(slot);
    writer.Begin();
    record.EnsureEpoch(kDayOne);
    for (std::size_t server = 0; server < kServers; ++server)
      writer.AddServerEvent(writer.ServerId(Hosts()[server]), kDayOne, "respondendo", "");
    std::size_t inTransaction = 0;
    while (next.top().FirstSeen < kDays * kMsPerDay) {
      const TSimSpan span = next.top();
      next.pop();
      const std::size_t server = TSimulatedFleet::ServerOf(span.Slot);
      const int64_t serverId = writer.ServerId(Hosts()[server]);
      const int64_t lastSeen = (span.Task.End - 1) / kBulkInterval * kBulkInterval;
      writer.AddTask(span.FirstSeen, serverId, TaskRow(span.Task, server, span.FirstSeen));
      writer.CloseTask(span.FirstSeen, serverId, span.Task.RequestId, 0,
                       {lastSeen - span.FirstSeen, kBulkInterval, quv::TSpanEnd::Gone});
      queueNext(span.Slot);
      if (++inTransaction == 20000) {
        writer.Commit();
        writer.Begin();
        inTransaction = 0;
      }
    }
    writer.SetLastRefresh(false, kDays * kMsPerDay);
    writer.Commit();
    return true;
  }();
  benchmark::DoNotOptimize(written);
  return file.Path;
}

// "What ran at 03:00" of the last day: the task list as a refresh read it.
void BM_WhatRanAt(benchmark::State& state) {
  const quv::TRecordReader reader(FortnightFile());
  quv::TFleetView view(reader.Hosts(), false);
  const double at = kDayOne + kDays - 1 + 3.0 / 24;
  std::size_t rows = 0;
  for (auto _ : state) {
    const quv::TFleetRead read = reader.ReadAt(at, false, view);
    rows = read.Tasks.size();
    benchmark::DoNotOptimize(read.Tasks.data());
  }
  state.counters["rows"] = double(rows);
  state.counters["queries_per_second"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WhatRanAt)->Unit(benchmark::kMillisecond)->UseRealTime();

// The longest 20 tasks of the seventh day.
void BM_LongestOfADay(benchmark::State& state) {
  const quv::TRecordReader reader(FortnightFile());
  const double day = kDayOne + 6;
  for (auto _ : state) benchmark::DoNotOptimize(reader.Longest(20, day, day + 1));
  state.counters["queries_per_second"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LongestOfADay)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunAndPrintRatios(
      argc, argv, "queries_per_second", [](const quv::TRatioReporter& reporter) {
        std::ostream& out = reporter.Notes();
        const double bare = reporter.Counter(
            quv::ManualTimeMedianOf("BM_Refresh/0/iterations:1", 5), "refreshes_per_second");
        const double recorded = reporter.Counter(
            quv::ManualTimeMedianOf("BM_Refresh/1/iterations:1", 5), "refreshes_per_second");
        if (bare > 0 && recorded > 0)
          out << "refresh of " << kServers * kSlots << " tasks: " << 1000 / bare
              << " ms CPU, recorded " << 1000 / recorded << " ms; cpu_ratio = " << bare / recorded
              << " (target at most " << kCpuTarget << ")\n";
        const double bytes = reporter.Counter("BM_DayOfSpans/iterations:1", "bytes_per_span");
        if (bytes > 0)
          out << "a day recorded: " << reporter.Counter("BM_DayOfSpans/iterations:1", "spans")
              << " spans, " << bytes << " bytes per span; size_ratio = " << bytes / kBytesTarget
              << " (target at most " << kBytesTarget << " bytes)\n";
        for (const auto& [name, target] :
             {std::pair{"BM_WhatRanAt/real_time", kAtTargetMs},
              std::pair{"BM_LongestOfADay/real_time", kLongestTargetMs}}) {
          const double rate = reporter.Rate(name);
          if (rate > 0)
            out << name << " over " << kDays << " days of " << kServers
                << " servers: " << 1000 / rate << " ms; target_ratio = " << 1000 / rate / target
                << " (target at most " << target << " ms)\n";
        }
      });
}
