#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/CancelTargets.h"
#include "app/FleetView.h"
#include "app/RecordFile.h"
#include "app/SpanWriter.h"

namespace quv {

// What one refresh hands to the recorder: when it was shown, which list it
// read, each server's state, and the rows of that list (Windows-1252 texts),
// each row's Host the index of its host in Hosts, as the view's rows are.
// The task rows are shared with the view that shows them, not copied.
struct TRecordedRefresh {
  double When = 0;  // local date-time
  bool Sessions = false;
  std::vector<THostRow> Hosts;
  std::shared_ptr<const std::vector<TTaskRow>> Tasks;
  std::vector<TSessionRow> SessionRows;
};

// What `view` shows after a refresh of the task (or session) list, to record.
TRecordedRefresh RefreshToRecord(const TFleetView& view, bool sessions, double when);

// The flight recorder: what the viewer saw of the fleet, kept in an SQLite
// file (write-ahead log; see TRecordFile) as spans rather than a row per
// refresh: each task and session from first to last seen, with the refresh
// that found it ended and how it ended ("gone", "server lost", "cancelled"
// when a cancel of ours succeeded), each change of a server's state, and
// each cancel. Refreshes are written on a thread of its own, one
// transaction each; at most `maxQueued` wait, and a refresh that finds the
// queue full is dropped and counted, so recording never holds up a refresh.
// What ended more than the retention ago (14 days by default) is pruned, and
// while the file's pages in use pass `maxBytes` (1 GB by default) the oldest
// that ended go, a bounded batch with each refresh, so that no write stalls.
// Spans a recorder left open when it stopped are closed as "recording
// stopped" when the file is opened again. Destroying the recorder writes
// what waits and joins.
class TRecorder final {
 public:
  static constexpr double kDefaultRetentionDays = 14;
  static constexpr int64_t kDefaultMaxBytes = int64_t{1} << 30;

  // Opens or creates `fileName`; raises ERecorderError when it cannot.
  explicit TRecorder(const std::string& fileName, std::size_t maxQueued = 8,
                     double retentionDays = kDefaultRetentionDays,
                     int64_t maxBytes = kDefaultMaxBytes);
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
  // A task or session seen in the last refresh of its list.
  struct TOpenSpan {
    int64_t FirstSeen;
    int64_t LastSeen;
    int64_t Server;
    int64_t Flags;  // a task's flags, a session's activity
    bool Long;      // marked long in the file
  };
  struct TOpenTask : TOpenSpan {
    int32_t RequestId;
  };
  struct TOpenSession : TOpenSpan {
    std::string Key;
  };
  // Tasks by server id and request id, sessions by server id and key.
  using TOpenTasks = std::unordered_map<uint64_t, TOpenTask>;
  using TOpenSessions = std::unordered_map<std::string, TOpenSession>;
  struct TCancel {
    double When;
    TCancelOutcome Outcome;
  };

  void Run();
  void Write(const TRecordedRefresh& refresh, const std::vector<TCancel>& cancels);
  void RecordStates(const TRecordedRefresh& refresh);
  int64_t ServerOfRow(const TRecordedRefresh& refresh, std::size_t host, const std::string& line);
  void RecordTasks(const TRecordedRefresh& refresh, int64_t now);
  void RecordSessions(const TRecordedRefresh& refresh, int64_t now);
  template <typename TSpans, typename TMarkLong, typename TClose>
  void CloseUnseen(const TRecordedRefresh& refresh, int64_t now, TSpans& open,
                   std::unordered_set<typename TSpans::key_type>& cancelled, TMarkLong markLong,
                   TClose close);
  void RecordCancels(const std::vector<TCancel>& cancels);

  TRecordFile FFile;
  TSpanWriter FWriter;
  std::unordered_map<int64_t, THostState> FLastState;  // by server id
  std::vector<int64_t> FHostServers;  // server id of each host of the refresh written
  TOpenTasks FOpenTasks;
  TOpenSessions FOpenSessions;
  // The spans a cancel of ours ended.
  std::unordered_set<uint64_t> FCancelledTasks;
  std::unordered_set<std::string> FCancelledSessions;
  const std::size_t FMaxQueued;
  const double FRetentionDays;
  const int64_t FMaxBytes;
  mutable std::mutex FLock;  // guards what follows
  std::condition_variable FQueued;
  std::deque<TRecordedRefresh> FQueue;
  // Refreshes written, whose rows the next Submit frees on the refresh's
  // thread: freeing them where they were allocated costs less.
  std::vector<TRecordedRefresh> FWrittenRefreshes;
  std::vector<TCancel> FCancels;
  bool FStopping = false;
  std::size_t FWritten = 0;
  std::size_t FDropped = 0;
  std::string FFailure;
  std::thread FThread;
};

}  // namespace quv
