#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/SqliteStatement.h"

struct sqlite3;

namespace quv {

// How a recorded span ended, as stored (the column `ended`).
enum class TSpanEnd : int64_t { Open = 0, Gone = 1, Cancelled = 2, ServerLost = 3, Stopped = 4 };
// "gone", "cancelled", "server lost", "recording stopped"; empty while open.
std::string SpanEndText(TSpanEnd end);

// The shortest text that reads back as `value`.
std::string NumberText(double value);

// A flight-recorder file (see TRecorder) opened for writing or for reading:
// its schema, brought to the current version, and its clock. Instants in the
// span tables are whole milliseconds since the file's epoch (a date-time kept
// in meta, set by the first write); the API's date-times are converted here.
// A version-1 file is migrated in one transaction when opened for writing,
// and read from a migrated copy in memory when opened for reading, so that
// reading never changes a file. A file of a newer version is refused, as is
// an SQLite file that is no record; errors raise ERecorderError naming the file.
class TRecordFile final {
 public:
  static constexpr int kSchemaVersion = 2;
  static constexpr double kMsPerDay = 86400000;

  TRecordFile(const std::string& fileName, bool write);
  ~TRecordFile();
  TRecordFile(const TRecordFile&) = delete;
  TRecordFile& operator=(const TRecordFile&) = delete;

  sqlite3* Db() const { return FDb; }
  // The meta value of `key`, absent when the file has none.
  std::optional<std::string> Meta(const std::string& key) const;
  void SetMeta(const std::string& key, const std::string& value);
  // An integer meta value, `otherwise` when absent.
  int64_t MetaInteger(const std::string& key, int64_t otherwise) const;

  // Whether the epoch is set (a file that has recorded nothing has none);
  // reads it again when it was not, as a writer may have set it since.
  bool LoadEpoch();
  // Sets the epoch to the day of `when` unless it is set.
  void EnsureEpoch(double when);
  int64_t ToMs(double when) const;
  double ToDateTime(int64_t ms) const;

 private:
  void Open(const std::string& fileName, int flags);
  void Prepare(bool write);
  void ReadMigratedCopy();

  sqlite3* FDb = nullptr;
  std::optional<double> FEpoch;
};

// The meta keys of the span tables' bookkeeping.
inline constexpr const char* kLastTaskRefreshKey = "task_refresh_ms";
inline constexpr const char* kLastSessionRefreshKey = "session_refresh_ms";

// A span is short when it ran at most this long (from its first sight to the
// refresh that missed it, or to the last refresh while open); the keys of
// the others are also kept in long_tasks and long_sessions, so that the
// spans that cover an instant are the short ones first seen within this
// time before it and the long ones.
inline constexpr int64_t kShortSpanMs = 3600000;

}  // namespace quv
