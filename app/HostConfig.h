#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Exception.h"

namespace quv {

// The viewer's settings file: the executable path with every ".exe" (any
// case) replaced by ".ini"; a program file without ".exe" in its name gets
// ".ini" appended ("/opt/quv/quvtasks" reads "/opt/quv/quvtasks.ini").
std::string SettingsFileName(const std::string& executablePath);

struct THostConfig {
  std::string Title;               // "TITLE" of section "MAIN", as UTF-8 for display
  std::vector<std::string> Hosts;  // "label=address" lines, Windows-1252
  int32_t WarnSeconds = 60;        // "WARNSECONDS": tasks running this long are marked
  int32_t AlertSeconds = 300;      // "ALERTSECONDS": tasks running this long stand out more
  bool ConfirmCancel = false;      // "CONFIRMCANCEL=1": the cancel button asks first
  // "FOLDNOCONNECTION=0" gives every host without reply a task row of its
  // own; by default they share one row after the live tasks.
  bool FoldNoConnection = true;
  // Where cancels are recorded; empty: TCancelAuditLog's default file.
  std::string AuditLogFile;
  // "RECORDFILE": the flight recorder's file (empty: nothing is recorded).
  std::string RecordFile;
  // Where the window keeps the look the operator gave it; empty: nowhere.
  // LoadHostConfig names "<user config folder>/quvtasks/vista.ini".
  std::string ViewStateFile;
};

// A host entry of the settings file that cannot name a server.
class EHostConfigError : public Exception {
 public:
  using Exception::Exception;
};

// Reads the settings file: the title and the keys of section "MAIN" above
// (a value that is not a number keeps the default), and one host line per
// key of section "Hosts" in file order; without any, the single line "1=" +
// `firstArgument` (or "1=127.0.0.1" when there is no argument). A missing
// file reads as empty. A host line whose label an earlier line uses, or
// whose address AddressProblem refuses, raises EHostConfigError naming the
// file and the line.
THostConfig LoadHostConfig(const std::string& settingsFile, const std::string* firstArgument);

// The text after the first "=" of a host line (the whole line without one).
std::string HostAddress(const std::string& hostLine);
// The text before the first "=" of a host line (empty without one).
std::string HostLabel(const std::string& hostLine);
// "B (10.0.0.5)", or the address alone for a line without label.
std::string HostDescription(const std::string& hostLine);

}  // namespace quv
