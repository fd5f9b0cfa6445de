#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/CancelTargets.h"
#include "app/FleetView.h"
#include "app/SqliteStatement.h"

struct sqlite3;

namespace quv {

// What one refresh hands to the recorder: when it was shown, which list it
// read, each server's state, and the rows of that list (Windows-1252 texts).
struct TRecordedRefresh {
  double When = 0;  // local date-time
  bool Sessions = false;
  std::vector<THostRow> Hosts;
  std::vector<TTaskRow> Tasks;
  std::vector<TSessionRow> SessionRows;
};

// What `view` shows after a refresh of the task (or session) list, to record.
TRecordedRefresh RefreshToRecord(const TFleetView& view, bool sessions, double when);

// The flight recorder: what the viewer saw of the fleet, kept in an SQLite
// file (write-ahead log) as spans rather than a row per refresh: each task
// and session from first to last seen and how it ended ("gone", "server
// lost", "cancelled" when a cancel of ours succeeded), each change of a
// server's state, and each cancel. Refreshes are written on a thread of its
// own, one transaction each; at most `maxQueued` wait, and a refresh that
// finds the queue full is dropped and counted, so recording never holds up
// a refresh. What ended more than the retention ago (14 days by default) is
// pruned, a bounded number of rows with each refresh, so that no write
// stalls. The file carries its schema version; a file of a newer version is
// refused. Destroying the recorder writes what waits and joins.
class TRecorder final {
 public:
  static constexpr int kSchemaVersion = 1;
  static constexpr double kDefaultRetentionDays = 14;
  // Rows of each table pruned with one refresh at most.
  static constexpr int kPruneBatch = 500;

  // Opens or creates `fileName`; raises ERecorderError when it cannot.
  explicit TRecorder(const std::string& fileName, std::size_t maxQueued = 8,
                     double retentionDays = kDefaultRetentionDays);
  ~TRecorder();
  TRecorder(const TRecorder&) = delete;
  TRecorder& operator=(const TRecorder&) = delete;

  // False when the refresh was dropped (the queue was full, or writing failed).
  bool Submit(TRecordedRefresh refresh);
  // A cancel's outcome: recorded with the next refresh.
  void SubmitCancel(double when, const TCancelOutcome& outcome);

  std::size_t Written() const;
  std::size_t Dropped() const;
  // Why writing stopped; empty while it goes on.
  std::string Failure() const;

 private:
  struct TOpenSpan {
    int64_t Row;
    bool Seen;
  };
  struct TCancel {
    double When;
    TCancelOutcome Outcome;
  };

  void Run();
  void Write(const TRecordedRefresh& refresh, const std::vector<TCancel>& cancels);
  int64_t ServerId(const std::string& hostLine);
  void RecordStates(const TRecordedRefresh& refresh);
  void RecordSpans(const TRecordedRefresh& refresh);
  void RecordCancels(const std::vector<TCancel>& cancels);
  void Prune(double now);

  sqlite3* FDb = nullptr;
  std::map<std::string, int64_t> FServers;            // host line -> server id
  std::map<std::string, std::string> FLastState;      // host line -> state text
  std::map<std::string, TOpenSpan> FOpenSpans;        // list, server, key -> span
  std::vector<std::string> FCancelledKeys;            // spans a cancel of ours ended
  const std::size_t FMaxQueued;
  const double FRetentionDays;
  mutable std::mutex FLock;  // guards what follows
  std::condition_variable FQueued;
  std::deque<TRecordedRefresh> FQueue;
  std::vector<TCancel> FCancels;
  bool FStopping = false;
  std::size_t FWritten = 0;
  std::size_t FDropped = 0;
  std::string FFailure;
  std::thread FWriter;
};

}  // namespace quv
