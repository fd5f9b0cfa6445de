#include "transport/logfiles.h"

#include <atomic>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/ExePath.h"
#include "platform/FileIo.h"
#include "platform/Process.h"
#include "platform/SystemInfo.h"
#include "platform/UserFolders.h"

namespace quv {

namespace {

constexpr int32_t kThresholdLevel = 0;
constexpr uint32_t kLockWaitMs = 1000;
constexpr int32_t kLoggerBuckets = 255;

// The executable's name without its extension.
std::string ProgramName(const std::string& executablePath) {
  std::string name = ExtractFileName(executablePath);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

// The process and thread ids of the calling thread, cached per thread since
// each query is a system call; a fork starts a new generation of the cache.
struct TCallerIds {
  uint32_t Generation = 0;
  int64_t Process = 0;
  int64_t Thread = 0;
};

std::atomic<uint32_t> gForkGeneration{1};

const TCallerIds& CallerIds() {
  static const bool registered = OnForkInChild([] { gForkGeneration.fetch_add(1); });
  thread_local TCallerIds ids;
  const uint32_t generation = gForkGeneration.load(std::memory_order_relaxed);
  // Without the fork handler every call asks the system again.
  if (ids.Generation != generation || !registered) ids = {generation, ProcessId(), ThreadId()};
  return ids;
}

// The logger key: the mode's file prefix and the category, so that one
// category name used in two modes keeps two files.
std::string LoggerKey(int32_t mode, const std::string& category) {
  return (mode == 1 ? "@M_" : mode == 2 ? "@U_" : "") + category;
}

}  // namespace

std::string FormatLogLine(const TLogRecord& record, int64_t processId) {
  const TDateTimeParts t = DecodeDateTime(record.TimeStamp);
  char head[96];
  const int headLength =
      std::snprintf(head, sizeof head, "%lld-%lld %02d/%02d/%02d %02d:%02d:%02d:%03d ",
                    static_cast<long long>(processId), static_cast<long long>(record.ThreadId),
                    t.Month, t.Day, t.Year % 100, t.Hour, t.Minute, t.Second, t.Millisecond);
  std::string line;
  if (record.ContextNumber != 0) line = std::to_string(record.ContextNumber) + "-";
  line.append(head, static_cast<std::size_t>(headLength));
  line.append(record.Message);
  line.append("\r\n");
  return line;
}

std::string LogFileName(int32_t mode, const std::string& programName, const std::string& category,
                        double now) {
  const TDateTimeParts t = DecodeDateTime(now);
  char stamp[32];
  if (mode == 1 || mode == 2) {
    std::snprintf(stamp, sizeof stamp, "_%02d%02d%02d.txt", t.Year % 100, t.Month, t.Day);
    return (mode == 1 ? "@M_" : "@U_") + category + stamp;
  }
  std::snprintf(stamp, sizeof stamp, "_%02d%02d%02d_%02d.txt", t.Year % 100, t.Month, t.Day,
                t.Hour);
  return programName + category + stamp;
}

TLogClass::TLogClass(std::string category, int32_t mode, const std::string& mutexName)
    : FCategory(std::move(category)), FMode(mode), FMutex(mutexName) {}

bool TLogClass::Append(const std::string& folder, const std::string& programName, double now,
                       std::string_view line) {
  if (!FMutex.WaitFor(kLockWaitMs)) return false;
  const std::string fileName = folder + LogFileName(FMode, programName, FCategory, now);
  if (fileName != FFileName || !FFile.Valid()) {
    FFile.Reset(OpenFileForAppend(fileName));
    FFileName = fileName;
  }
  const bool written = FFile.Valid() && WriteAll(FFile.Get(), line);
  FMutex.Release();
  return written;
}

TLogFiles::TLogFiles(std::string folder, const std::string& executablePath, TBrokerBridge bridge)
    : FFolder(std::move(folder)),
      FProgramName(ProgramName(executablePath)),
      FMutexPrefix("QUV_LOG_MUTEX_" + std::to_string(StringHash(executablePath)) + "_"),
      FBridge(std::move(bridge)),
      FLoggers(kLoggerBuckets, THashListMode{false, THashOwnership::Objects}) {
  if (FFolder.empty() || FFolder.back() != '/') FFolder += '/';
}

void TLogFiles::Log(int32_t level, std::string_view message, std::string_view category) {
  if (message.empty()) return;
  const TRef<IquvBrokerContext> context = FBridge.GetContext();
  if (level > kThresholdLevel && !(context && level <= context->LogLevel())) return;

  int32_t mode = 0;
  std::string name(category);
  if (category.empty() && context) {
    const int32_t contextMode = context->LogMode();
    if (contextMode == 1 || contextMode == 2) {
      mode = contextMode;
      name = context->LogCategory(contextMode);
    }
  }
  TLogRecord record;
  record.TimeStamp = Clock().Now();
  record.ContextNumber = context ? context->Number() : 0;
  record.Message = message;
  const TCallerIds& ids = CallerIds();
  record.ThreadId = ids.Thread;
  Logger(mode, name)
      .Append(FFolder, FProgramName, record.TimeStamp, FormatLogLine(record, ids.Process));
}

TLogClass& TLogFiles::Logger(int32_t mode, const std::string& category) {
  const std::string key = LoggerKey(mode, category);
  std::lock_guard<TCriticalSection> guard(FLock);
  TLogClass* logger = nullptr;
  if (!FLoggers.Find(key, logger)) {
    auto created = std::make_unique<TLogClass>(category, mode, FMutexPrefix + category);
    logger = created.get();
    FLoggers.Add(key, std::move(created));
  }
  return *logger;
}

std::string PrepareLogFolder(const std::string& executablePath) {
  const std::string programFolder = ExtractFileDir(executablePath);
  const std::string trace = programFolder + "/trace";
  if (ForceDirectories(trace) && IsWritableFolder(trace)) return trace + "/";
  const std::string perUser = UserStateFolder() + "/" + ProgramName(executablePath);
  if (ForceDirectories(perUser) && IsWritableFolder(perUser)) return perUser + "/";
  return programFolder + "/";
}

namespace {

// The process's log files, opened by the first line logged, so that a program
// that logs nothing makes no log folder.
struct TProcessLogFiles {
  std::once_flag Opened;
  std::unique_ptr<TLogFiles> Files;
};

constinit TProcessSlot<TProcessLogFiles> gLogFiles("log files");

}  // namespace

std::unique_ptr<TScopePart> MakeProcessLogFiles() { return gLogFiles.Make(); }

TLogFiles& LogFiles() {
  TProcessLogFiles& process = *gLogFiles;
  std::call_once(process.Opened, [&process] {
    const std::string executable = ExecutablePath();
    process.Files = std::make_unique<TLogFiles>(PrepareLogFolder(executable), executable,
                                                TBrokerBridge::LoadBesideExecutable());
  });
  return *process.Files;
}

void Log(int32_t level, std::string_view message, std::string_view category) {
  LogFiles().Log(level, message, category);
}

}  // namespace quv
