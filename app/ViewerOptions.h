#pragma once

#include <QStringList>
#include <optional>
#include <string>

#include "app/MetricsServer.h"

namespace quv {

// What the viewer's command line asks for.
struct TViewerOptions {
  bool Help = false;
  bool Version = false;
  std::string SettingsFile;            // from --settings; empty: the file beside the program
  std::optional<std::string> Address;  // the argument that is not an option (UTF-8)
  std::string Error;                   // not empty when the command line is wrong
  // Print-once mode: poll every host, print the merged view and end.
  bool Once = false;
  bool Sessions = false;  // the session view instead of the task view
  bool Json = false;
  bool Csv = false;
  int Count = 1;            // how many times to print
  int IntervalSeconds = 1;  // the wait between two prints
  // --older-than S: status 3 when a task has run at least S seconds (-1: not asked).
  int OlderThanSeconds = -1;
  // Headless mode: refresh both lists without a window until stopped.
  bool Serve = false;
  // --record [FILE] (not with --once): the flight recorder's file; a bare
  // --record names DefaultRecordFile().
  std::string RecordFile;
  // --history FILE: answers from a record file instead of the servers, one
  // of: the lists at --at TIME, the --longest N tasks, or the --events;
  // those two of the period --from TIME --to TIME (default: all of it).
  std::string HistoryFile;
  std::optional<double> At, From, To;  // local date-times
  int Longest = 0;
  bool Events = false;
  std::string Host;  // --host H: only the server with this label or address
  std::optional<TMetricsEndpoint> Metrics;  // --metrics ADDR:PORT (with --serve)
  // Terminal mode: the window's lists and keys drawn on the terminal.
  bool Tui = false;
};

// Where a bare --record keeps its record: "<user data folder>/quvtasks/gravacao.db".
std::string DefaultRecordFile();

// Reads the arguments after the program name with Qt's command-line parser:
// --help (-h), --version, --settings FILE (or --settings=FILE), --once with
// --sessions, --json or --csv, --count N (1 or more) and --interval S (0 or
// more), --serve (not with --once) and --metrics ADDR:PORT with it, --tui,
// --record [FILE], the --history questions (TIME as TryTextToDateTime
// reads it), one server address, and Qt's own options (-platform offscreen,
// -style X, ...), which are left to Qt; "--" ends the options, and a word
// after one dash is one option. An unknown option, a second address, a
// --settings without a file, a count or interval that is not such a number,
// --tui with --once, --serve or --history,
// --json with --csv, a print-once option without --once, --metrics without
// --serve or with a value ParseMetricsEndpoint refuses, or an address with
// a character outside Windows-1252 sets Error to the first such fault; Help
// and Version are still seen.
TViewerOptions ParseViewerArguments(const QStringList& arguments);

}  // namespace quv
