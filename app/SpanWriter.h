#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "app/RecordFile.h"
#include "app/SqliteStatement.h"
#include "app/TaskRows.h"

namespace quv {

// How a span stood when it ended: the milliseconds from its first to its
// last sight, from then to the refresh that found it gone, and how it went.
struct TSpanClose {
  int64_t Seen = 0;
  int64_t Gap = 0;
  TSpanEnd End = TSpanEnd::Gone;
};

// The rows a recorder writes into a record file, each through a statement
// prepared once: servers and texts interned, spans added when first seen
// and completed when found ended, server events, cancels, the refresh
// bookkeeping, and pruning. Instants are the file's milliseconds. The
// caller holds the transaction (Begin, Commit, Rollback). One thread.
class TSpanWriter final {
 public:
  // Rows of each table pruned with one call at most.
  static constexpr int64_t kPruneBatch = 500;

  explicit TSpanWriter(TRecordFile& file);

  void Begin();
  void Commit();
  void Rollback();

  // The id of the server of `hostLine` ("label=address"), added when new.
  int64_t ServerId(const std::string& hostLine);
  // The id of `text` in the dictionary, added when new.
  int64_t TextId(const std::string& text);

  // A task first seen at `firstSeen`. Closing a span that ran longer than
  // kShortSpanMs marks it long; an open one is marked by the caller once it
  // has run that long.
  void AddTask(int64_t firstSeen, int64_t server, const TTaskRow& row);
  // `until`: when the refresh that missed the span came; none while open.
  void MarkLongTask(int64_t firstSeen, int64_t server, int32_t requestId,
                    std::optional<int64_t> until = std::nullopt);
  void CloseTask(int64_t firstSeen, int64_t server, int32_t requestId, int64_t flags,
                 const TSpanClose& close);
  void AddSession(int64_t firstSeen, int64_t server, const TSessionRow& row);
  void MarkLongSession(int64_t firstSeen, int64_t server, const std::string& key,
                       std::optional<int64_t> until = std::nullopt);
  void CloseSession(int64_t firstSeen, int64_t server, const std::string& key, bool active,
                    const TSpanClose& close);
  // Closes what a recorder that stopped left open, as seen through the last
  // refresh of its list.
  void CloseLeftOpen();

  void AddServerEvent(int64_t server, double when, const std::string& state,
                      const std::string& cause);
  void AddCancel(int64_t server, double when, const std::string& kind, const std::string& target,
                 const std::string& result);

  // The last refresh of the task (or session) list, through which open spans run.
  void SetLastRefresh(bool sessions, int64_t ms);

  // Removes a batch of what ended before `before` (a date-time), and while
  // the file's used pages pass `maxBytes` a batch of the oldest ended spans.
  void Prune(double before, int64_t maxBytes);
  // The bytes the file's pages in use take.
  int64_t UsedBytes();

 private:
  TRecordFile& FFile;
  std::unordered_map<std::string, int64_t> FServers;
  std::unordered_map<std::string, int64_t> FTexts;
  TSqlStatement FBegin, FCommit;
  TSqlStatement FAddServer, FFindServer, FAddText, FFindText;
  TSqlStatement FAddTask, FCloseTask, FAddSession, FCloseSession;
  TSqlStatement FMarkLongTask, FMarkLongSession;
  TSqlStatement FAddEvent, FAddCancel, FSetMeta;
  TSqlStatement FPruneTasks, FPruneSessions, FPruneEvents, FPruneCancels;
  TSqlStatement FTrimTasks, FTrimSessions, FUsedBytes;
};

// The flags column of a task: 1 its system command mark, 2 its cancelled mark.
int64_t TaskFlags(const TTaskRow& row);

}  // namespace quv
