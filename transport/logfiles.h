#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/FileHandle.h"
#include "platform/NamedMutex.h"
#include "platform/ProcessSlot.h"
#include "platform/Sync.h"
#include "support/BrokerBridge.h"
#include "support/Hash.h"

namespace quv {

// The cross-process lock of one log file family.
using TMutex = TNamedMutex;

// What one Log call writes.
struct TLogRecord {
  double TimeStamp = 0;  // local date-time of the call
  int32_t ContextNumber = 0;
  std::string_view Message;
  int64_t ThreadId = 0;
};

// The line of `record` with its CRLF end:
// [context number "-"] process id "-" thread id " " mm/dd/yy hh:nn:ss:zzz " " message.
std::string FormatLogLine(const TLogRecord& record, int64_t processId);

// The file name (without folder) that a line of `category` at local time
// `now` goes to: mode 0 one file per hour, modes 1 ("@M_") and 2 ("@U_") one
// per day.
std::string LogFileName(int32_t mode, const std::string& programName, const std::string& category,
                        double now);

// One category's log file. Its lock brackets every append; the file stays
// open between lines and is switched when its name changes. Thread-safe.
class TLogClass final {
 public:
  TLogClass(std::string category, int32_t mode, const std::string& mutexName);

  // Appends `line` to the file for `now` in `folder` (ending in '/'); false
  // when the line was dropped (lock not obtained within 1000 ms, file not opened).
  bool Append(const std::string& folder, const std::string& programName, double now,
              std::string_view line);

 private:
  std::string FCategory;
  int32_t FMode;
  TMutex FMutex;
  TAutoCloseHandle FFile;  // guarded by FMutex, like FFileName
  std::string FFileName;
};

// The log files of a process: its folder, its loggers by category and the
// broker bridge whose context filters and redirects lines. Thread-safe.
class TLogFiles final {
 public:
  // `folder` is where the files go; `executablePath` names the files of mode
  // 0 and, hashed, the locks shared with other processes of the same program.
  TLogFiles(std::string folder, const std::string& executablePath, TBrokerBridge bridge);
  TLogFiles(const TLogFiles&) = delete;
  TLogFiles& operator=(const TLogFiles&) = delete;

  void Log(int32_t level, std::string_view message, std::string_view category);
  const std::string& Folder() const { return FFolder; }

 private:
  TLogClass& Logger(int32_t mode, const std::string& category);

  std::string FFolder;  // ends in '/'
  std::string FProgramName;
  std::string FMutexPrefix;
  TBrokerBridge FBridge;
  TCriticalSection FLock;  // guards FLoggers
  THashList FLoggers;      // TLogClass objects by mode and category
};

// The log folder of the program at `executablePath`: its "trace" subfolder,
// created when missing; when the program's folder cannot hold it, the folder
// named after the program in the per-user state folder.
std::string PrepareLogFolder(const std::string& executablePath);

// Makes the place of the process-wide log files, which the first line opens.
std::unique_ptr<TScopePart> MakeProcessLogFiles();
// The process-wide log files, beside the executable, set up at first use.
TLogFiles& LogFiles();

// Appends `message` to the log of `category`, if its level passes the filter.
void Log(int32_t level, std::string_view message, std::string_view category);

}  // namespace quv
