#pragma once

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

// "B (10.0.0.6): sem conexão: <cause>" (Windows-1252), the cause left out
// when there is none.
std::string HostStateLine(const THostRow& host);

// Column titles and cell texts of the server pane: label, address, state,
// cause, round trip, last good reply (yyyy-mm-dd hh:nn:ss here), running
// tasks, oldest task, sessions, licences; empty where nothing is known yet.
std::vector<std::string> HostColumnTitles();
std::string HostCellText(const THostRow& host, std::size_t column);
inline constexpr std::size_t kLastGoodColumn = 5;

// "2 de 3 servidores respondendo; 1 sem resposta" (the part after ";" only
// when some server does not answer).
std::string AnsweringText(const std::vector<THostRow>& hosts);

// The rows of one delivered refresh, read from its replies. Reading may run
// on the refresh's own thread, so that the rows are ready when the owner's
// thread takes them.
struct TFleetRead {
  bool Sessions = false;  // which list the refresh asked for
  bool Built = true;      // false when a reply could not be read to its end
  std::string Error;      // why not
  std::vector<THostStatus> Statuses;
  std::vector<TTaskRow> Tasks;  // live tasks first; silent hosts after, folded when asked
  TSessionView SessionView;
  std::vector<THostCounts> Counts;  // this refresh's counts; -1 where a host gave no reply
};

// What the viewer shows of a fleet, without any widget: after each delivered
// refresh, the task rows or the sessions with their licence counts, and one
// line per host with its health and counts. The window, the print-once mode
// and the terminal mode each show it their own way. One thread, but Read
// runs on any.
class TFleetView final {
 public:
  TFleetView(std::vector<std::string> hosts, bool foldNoConnection);

  const std::vector<std::string>& Hosts() const { return FHosts; }
  // Reads a delivered refresh of the task (or session) list. A reply that
  // cannot be read keeps the rows read so far, unsorted.
  TFleetRead Read(TRefreshT& refresh) const;
  // Reads the task (or session) list from each host's status and reply
  // (`take` hands over host i's reply, null for none), as Read does.
  TFleetRead ReadReplies(bool sessions, std::vector<THostStatus> statuses,
                         const TTakeResult& take) const;
  // Shows what was read: the rows, each host's health, and the counts of
  // the hosts that answered (all counts stay when the read failed). False
  // when the read failed (ReadError says why).
  bool Take(TFleetRead read);
  // Read, then Take.
  bool TakeRefresh(TRefreshT& refresh) { return Take(Read(refresh)); }

  const std::vector<TTaskRow>& Tasks() const { return *FTasks; }
  // The same rows, shared with a list that shows them.
  std::shared_ptr<const std::vector<TTaskRow>> SharedTasks() const { return FTasks; }
  const TSessionView& Sessions() const { return FSessions; }
  const std::vector<THostRow>& HostRows() const { return FHostRows; }
  const std::string& ReadError() const { return FReadError; }

 private:
  const std::vector<std::string> FHosts;
  const bool FFoldNoConnection;
  std::shared_ptr<const std::vector<TTaskRow>> FTasks =
      std::make_shared<const std::vector<TTaskRow>>();
  TSessionView FSessions;
  std::vector<THostRow> FHostRows;
  std::string FReadError;
};

}  // namespace quv
