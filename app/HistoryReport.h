#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/OnceReport.h"
#include "app/RecordReader.h"

namespace quv {

// The answers of a record file printed for scripts and operators, in the
// forms of the print-once mode (aligned table, JSON on one line, CSV), UTF-8.

// The task (or session) list as it was at `when`, on the servers whose
// label or address is `host` (all when empty), printed as --once prints it.
void PrintFleetAt(const TRecordReader& reader, double when, const std::string& host,
                  bool sessions, TOnceFormat format, std::ostream& out);
// Tasks with their server, user, start, last sighting, duration and end.
void PrintRecordedTasks(const std::vector<TRecordedTask>& tasks, TOnceFormat format,
                        std::ostream& out);
// Servers' changes of state and cancels, with their instant.
void PrintRecordedEvents(const std::vector<TRecordedEvent>& events, TOnceFormat format,
                         std::ostream& out);

}  // namespace quv
