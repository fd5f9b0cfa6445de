#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/HostStatus.h"
#include "app/RefreshT.h"
#include "app/TaskRows.h"

namespace quv {

// One server of the fleet as the server pane shows it: its host line, its
// health in the last refresh, and its counts from the last rows of each list.
struct THostRow {
  std::string Line;
  THostStatus Status;
  THostCounts Counts;
};

// What the viewer shows of a fleet, without any widget: after each delivered
// refresh, the task rows (live tasks first, the hosts without reply after
// them, folded into one row when asked) or the sessions with their licence
// counts, and one line per host with its health and counts. The window, the
// print-once mode and the terminal mode each show it their own way. One
// thread.
class TFleetView final {
 public:
  TFleetView(std::vector<std::string> hosts, bool foldNoConnection);

  const std::vector<std::string>& Hosts() const { return FHosts; }
  // Takes the rows of a delivered refresh of the task (or session) list.
  // False when reading a reply failed part way: the rows read so far are
  // kept unsorted, the counts are left as they were, and ReadError says why.
  bool TakeTasks(TRefreshT& refresh);
  bool TakeSessions(TRefreshT& refresh);

  const std::vector<TTaskRow>& Tasks() const { return FTasks; }
  const TSessionView& Sessions() const { return FSessions; }
  const std::vector<THostRow>& HostRows() const { return FHostRows; }
  const std::string& ReadError() const { return FReadError; }

 private:
  bool Take(TRefreshT& refresh, const std::function<void(const TTakeResult&)>& build);
  void TakeStatuses(const TRefreshT& refresh);
  std::vector<bool> Answered() const;
  void Recount(const std::function<void(std::vector<THostCounts>&)>& count);

  const std::vector<std::string> FHosts;
  const bool FFoldNoConnection;
  std::vector<TTaskRow> FTasks;
  TSessionView FSessions;
  std::vector<THostRow> FHostRows;
  std::string FReadError;
};

}  // namespace quv
