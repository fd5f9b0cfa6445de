#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/FleetView.h"
#include "app/RecordFile.h"

namespace quv {

// A task as the record kept it, for the longest tasks of a period.
struct TRecordedTask {
  std::string HostLine;
  int32_t RequestId = 0;
  std::string UserName;
  std::string RequestDesc;
  std::string ClientDesc;
  double Started = 0;   // date-time the task began, as the server's elapsed time told
  double LastSeen = 0;  // date-time of the last refresh that listed it
  // "gone", "cancelled", "server lost", "recording stopped"; empty while it runs
  std::string Ended;
  // How long it ran as far as the record knows, in seconds.
  double Seconds() const { return (LastSeen - Started) * 86400; }
};

// A server's change of state, or a cancel, as the record kept it.
struct TRecordedEvent {
  double When = 0;
  std::string HostLine;
  std::string What;    // the state's text ("respondendo", "sem conexão", ...) or "cancelamento"
  std::string Detail;  // the state's cause, or the cancel's target and result
};

// Reads a flight-recorder file (see TRecorder) without changing it: the
// fleet as it was at an instant, the longest tasks of a period and the
// events of a period. Texts are Windows-1252. A file a recorder still
// writes is read as it stands at each question. Errors (a missing, damaged
// or newer file) raise ERecorderError naming the file.
class TRecordReader final {
 public:
  explicit TRecordReader(const std::string& fileName);
  TRecordReader(const TRecordReader&) = delete;
  TRecordReader& operator=(const TRecordReader&) = delete;

  // The first and the last instant recorded; both 0 when nothing is.
  std::pair<double, double> Period() const;
  // The host lines of the recorded servers, in the order they were first
  // recorded; only those whose label or address is `host` (any case) when
  // it is not empty.
  std::vector<std::string> Hosts(const std::string& host = "") const;
  // The instant a question about the task (or session) list at `when` is
  // answered for: `when`, or the list's last recorded refresh when `when`
  // comes after it ("now" while a recorder runs), since nothing later is known.
  double AnsweredInstant(double when, bool sessions) const;
  // The task (or session) list as `view` read it from the last refresh of
  // that list at or before AnsweredInstant(`when`): each of its hosts' state
  // then, and the rows it listed (a task's elapsed time as it was then).
  TFleetRead ReadAt(double when, bool sessions, const TFleetView& view) const;
  // The `count` tasks that ran longest (from their start, as their elapsed
  // time told, to their last sight) among those seen at some time from
  // `from` to `to`, longest first; on the servers whose label or address is
  // `host` when it is not empty.
  std::vector<TRecordedTask> Longest(std::size_t count, double from, double to,
                                     const std::string& host = "") const;
  // Changes of servers' states and cancels from `from` to `to`, in time order.
  std::vector<TRecordedEvent> Events(double from, double to, const std::string& host = "") const;

 private:
  struct TServer {
    int64_t Id;
    std::string Line;
  };
  std::vector<TServer> Servers(const std::string& host) const;
  std::vector<THostStatus> StatesAt(double when, const std::vector<std::string>& hosts) const;

  mutable TRecordFile FFile;
};

}  // namespace quv
