#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/BlockingRefresh.h"
#include "app/FleetView.h"
#include "app/HostProbe.h"
#include "app/HostStatus.h"
#include "app/RefreshT.h"
#include "app/RemoteCalls.h"
#include "platform/WorkerPool.h"

namespace quv {

enum class TOnceFormat {
  Table,  // aligned columns under the window's titles
  Json,   // a list with one object per row, ASCII with \u escapes
  Csv,    // the window's titles, then one line per row, quoted where needed
};

// The merged view of every host printed without a window, for scripts: the
// same refresh as the window's (threads, deadline, a host still answering is
// not called again) and the same rows in the same order. Output is UTF-8.
// "calls" and "probe" must outlive the report; destroying it waits for the
// calls still running. One thread.
class TOnceReport final {
 public:
  TOnceReport(std::vector<std::string> hosts, IRemoteCalls& calls, IHostProbe& probe);

  // Polls every host once and writes the task (or session) rows to `out`
  // and one line per host without reply to `errors`; false when a host did
  // not answer.
  bool Print(bool sessions, TOnceFormat format, std::ostream& out, std::ostream& errors);
  // The elapsed time of the longest-running task the last task print
  // showed, in milliseconds; -1 without tasks.
  int32_t OldestTaskMs() const;

 private:
  TBlockingRefresh FRefresh;
  TFleetView FView;  // hosts without reply are never folded here
};

// Writes the task (or session) rows `fleet` shows in `format`, as Print
// does after its refresh.
void WriteFleetView(const TFleetView& fleet, bool sessions, TOnceFormat format, std::ostream& out);

}  // namespace quv
