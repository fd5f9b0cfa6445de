// quvtasks: the task viewer. Lists the requests and sessions of the servers
// named in quvtasks.ini beside the program (or in the file given with
// --settings, or of one address given on the command line) and cancels the
// selected ones; with --once it prints the merged view without a window.

#include <QApplication>
#include <QStyleFactory>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/FleetWatch.h"
#include "app/HistoryReport.h"
#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/MetricsServer.h"
#include "app/OnceReport.h"
#include "app/QtMainThread.h"
#include "app/RemoteCalls.h"
#include "app/TerminalViewer.h"
#include "app/ViewerOptions.h"
#include "app/uTasks2.h"
#include "client/quvClientScope.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/DebugOutput.h"
#include "platform/Exception.h"
#include "platform/ExePath.h"
#include "platform/OpenFileLimit.h"
#include "platform/Process.h"
#include "platform/ProgramIo.h"
#include "platform/UserFolders.h"

namespace {

constexpr const char* kProgram = "quvtasks";
// --once --older-than: a task has run at least that long.
constexpr int kExitTaskTooOld = 3;

const char* const kUsage = R"(Usage:
  quvtasks [--record [FILE]] [--settings FILE] [server-address]
      show the requests running on application servers and their open
      sessions in a window
  quvtasks --once [--sessions] [--json|--csv] [--count N --interval S]
           [--settings FILE] [server-address]
      print the merged task view once, without a window, and end; status 1
      when a server did not answer (named on standard error)
  quvtasks --serve [--record [FILE]] [--metrics ADDR:PORT] [--settings FILE]
           [server-address]
      refresh both lists without a window, as the window does, and log each
      server's change of state on standard error, until SIGTERM or SIGINT
  quvtasks --history FILE --at TIME [--sessions] [--host H] [--json|--csv]
      print the task (or session) list as it was at TIME, from a record
  quvtasks --history FILE --longest N [--from TIME] [--to TIME] [--host H]
           [--json|--csv]
      print the N tasks that ran longest in the period, with server and user
  quvtasks --history FILE --events [--from TIME] [--to TIME] [--host H]
           [--json|--csv]
      print the servers' changes of state and the cancels of the period
  quvtasks --tui [--record [FILE]] [--settings FILE] [server-address]
      the same lists, server pane and keys on the terminal (? shows the
      keys), for servers and jump hosts without a display
  quvtasks --help | --version

Options:
  --settings FILE  read FILE instead of the settings file beside the program
  --record [FILE]  keep tasks, sessions, server events and cancels in an
                   SQLite file (or [MAIN] RECORDFILE of the settings); a bare
                   --record (last, or before another option) keeps them in
                   ~/.local/share/quvtasks/gravacao.db
  --metrics ADDR:PORT  serve metrics for Prometheus at http://ADDR:PORT/metrics
                   (ADDR 127.0.0.1 when only :PORT or PORT is given; port 0
                   picks a free one; the address is logged)
  --history FILE   answer from a record file instead of the servers
  --at TIME        the instant to show: yyyy-mm-dd hh:nn[:ss] (or with T),
                   yyyy-mm-dd, hh:nn[:ss] (the latest such time), -30m, -2h,
                   -1d (before now) or now; --from and --to take the same
                   (default: the whole record); after the record's last
                   refresh, that refresh is shown
  --host H         only the server whose label or address is H
  --sessions       print the session view instead (--once, --history --at)
  --json, --csv    print JSON (a list of objects on one line; with --count,
                   JSON Lines) or CSV instead of a table; both give each
                   server's state and cause, and the elapsed time in seconds
  --count N        print N times, --interval S seconds apart (default 1)
  --older-than S   end with status 3 when a task has run at least S seconds
                   (for monitoring checks; before status 1)

The servers are the keys of section [Hosts] of the settings file beside the
program (its path plus ".ini"), each written label=address; without any,
the one server is server-address, or 127.0.0.1. An address may name a port
(host:port); the default port is 6015. [MAIN] TITLE is added to the caption.
Cancels are recorded in ~/.local/share/quvtasks/cancelamentos.log.

Qt's own options (-platform offscreen, -style ...) are taken as well. A wrong
command line, or a settings file named with --settings that cannot be read
(missing, a folder, empty), ends the viewer with status 2 before any window.
)";

// Qt's warnings while it starts (a missing runtime folder, the platform
// plugins it tried) go to the debug output; when no window system can be
// reached, Qt ends the process, and the user learns why in one line.
void ReportQtStart(QtMsgType type, const QMessageLogContext&, const QString& message) {
  quv::OutputDebugString(quv::Utf8ToCp1252(message.toStdString()));
  if (type == QtFatalMsg) {
    quv::program::ReportError(kProgram,
                              "cannot open a display; set DISPLAY (or run under xvfb-run), or "
                              "print with --once");
    std::_Exit(quv::program::kExitFailure);
  }
}

QStringList ArgumentsOf(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  return arguments;
}

// The settings file named on the command line must be there to be read:
// exit status 2 with the file's name and the reason otherwise.
bool CanReadSettings(const std::string& fileName) {
  try {
    quv::program::ReadInputFile(fileName);
    return true;
  } catch (const quv::Exception& e) {
    quv::program::ReportError(kProgram, e.what());
    return false;
  }
}

// The settings the options name; none (reported) when the named file cannot
// be read or a host entry cannot name a server.
std::optional<quv::THostConfig> ReadConfig(const quv::TViewerOptions& options) {
  if (!options.SettingsFile.empty() && !CanReadSettings(options.SettingsFile)) return std::nullopt;
  const std::string settingsFile = options.SettingsFile.empty()
                                       ? quv::SettingsFileName(quv::ExecutablePath())
                                       : options.SettingsFile;
  try {
    quv::THostConfig config =
        quv::LoadHostConfig(settingsFile, options.Address ? &*options.Address : nullptr);
    if (!options.RecordFile.empty()) config.RecordFile = options.RecordFile;
    // The default record's folder is ours to make; a folder the user named must be there.
    if (config.RecordFile == quv::DefaultRecordFile())
      quv::ForceDirectories(quv::ExtractFileDir(config.RecordFile));
    return config;
  } catch (const quv::EHostConfigError& e) {
    quv::program::ReportError(kProgram, e.what());
    return std::nullopt;
  }
}

// --once: the merged view on standard output, without Qt's window system.
int PrintOnce(const quv::TViewerOptions& options) {
  const std::optional<quv::THostConfig> config = ReadConfig(options);
  if (!config) return quv::program::kExitUsage;
  const quv::TOnceFormat format = options.Json  ? quv::TOnceFormat::Json
                                  : options.Csv ? quv::TOnceFormat::Csv
                                                : quv::TOnceFormat::Table;
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  quv::TOnceReport report(config->Hosts, calls, probe);
  bool allAnswered = true;
  int32_t oldestMs = -1;
  try {
    for (int i = 0; i < options.Count; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::seconds(options.IntervalSeconds));
      allAnswered &= report.Print(options.Sessions, format, std::cout, std::cerr);
      oldestMs = std::max(oldestMs, report.OldestTaskMs());
      std::cout.flush();
    }
  } catch (const std::exception& e) {
    quv::program::ReportError(kProgram, e.what());
    allAnswered = false;
  }
  const bool tooOld = options.OlderThanSeconds >= 0 &&
                      int64_t{oldestMs} >= int64_t{options.OlderThanSeconds} * 1000;
  return quv::program::FinishStandardOutput(kProgram, tooOld        ? kExitTaskTooOld
                                                      : allAnswered ? quv::program::kExitSuccess
                                                                    : quv::program::kExitFailure);
}

// --history: one answer of a record file on standard output.
int PrintHistory(const quv::TViewerOptions& options) {
  const quv::TOnceFormat format = options.Json  ? quv::TOnceFormat::Json
                                  : options.Csv ? quv::TOnceFormat::Csv
                                                : quv::TOnceFormat::Table;
  const std::string host = quv::Utf8ToCp1252(options.Host);
  try {
    const quv::TRecordReader reader(options.HistoryFile);
    const auto [first, last] = reader.Period();
    const double from = options.From.value_or(first), to = options.To.value_or(last);
    if (!host.empty() && reader.Hosts(host).empty())
      throw quv::ERecorderError("no server " + options.Host + " in " + options.HistoryFile);
    if (options.At) {
      const double when = reader.AnsweredInstant(*options.At, options.Sessions);
      if (when < *options.At)
        std::cerr << kProgram << ": the record ends at " << quv::DateTimeToIsoText(when)
                  << "; the fleet as its last refresh saw it\n";
      quv::PrintFleetAt(reader, when, host, options.Sessions, format, std::cout);
    } else if (options.Longest > 0)
      quv::PrintRecordedTasks(reader.Longest(options.Longest, from, to, host), format, std::cout);
    else
      quv::PrintRecordedEvents(reader.Events(from, to, host), format, std::cout);
  } catch (const std::exception& e) {
    quv::program::ReportError(kProgram, e.what());
    return quv::program::kExitFailure;
  }
  return quv::program::FinishStandardOutput(kProgram, quv::program::kExitSuccess);
}

// --metrics: serves `metrics` and logs where. Raises EMetricsServerError
// when the endpoint cannot be listened on.
std::unique_ptr<quv::TMetricsServer> StartMetricsServer(const quv::TMetricsEndpoint& endpoint,
                                                        const quv::TFleetMetrics& metrics) {
  auto server = std::make_unique<quv::TMetricsServer>(metrics, endpoint);
  std::cerr << kProgram << ": metrics on http://" << quv::MetricsEndpointText(server->Endpoint())
            << "/metrics\n";
  return server;
}

// --serve: the refresh cycle without a window until the process is asked to stop.
int Serve(const quv::TViewerOptions& options) {
  const std::optional<quv::THostConfig> config = ReadConfig(options);
  if (!config) return quv::program::kExitUsage;
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  std::unique_ptr<quv::TRecorder> recorder;
  try {
    if (!config->RecordFile.empty())
      recorder = std::make_unique<quv::TRecorder>(config->RecordFile);
  } catch (const quv::ERecorderError& e) {
    quv::program::ReportError(kProgram, std::string("not recording: ") + e.what());
  }
  quv::TFleetMetrics metrics;
  std::unique_ptr<quv::TMetricsServer> metricsServer;
  try {
    if (options.Metrics) metricsServer = StartMetricsServer(*options.Metrics, metrics);
  } catch (const quv::EMetricsServerError& e) {
    quv::program::ReportError(kProgram, e.what());
    return quv::program::kExitFailure;
  }
  quv::TFleetWatch watch(*config, calls, probe, std::cerr);
  watch.SetRecorder(recorder.get());
  watch.SetMetrics(&metrics);
  std::cerr << kProgram << ": watching " << config->Hosts.size()
            << " servers; SIGTERM or SIGINT stops\n";
  try {
    watch.Start();
    quv::WaitForStopSignal();
  } catch (const std::exception& e) {
    quv::program::ReportError(kProgram, e.what());
    return quv::program::kExitFailure;
  }
  watch.Stop();
  std::cerr << kProgram << ": stopped after " << watch.RefreshCount() << " refreshes\n";
  return quv::program::kExitSuccess;
}

// --tui: the viewer on the terminal, without Qt's window system.
int RunTerminal(const quv::TViewerOptions& options) {
  const std::optional<quv::THostConfig> config = ReadConfig(options);
  if (!config) return quv::program::kExitUsage;
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  try {
    quv::TTerminalViewer viewer(*config, calls, probe);
    viewer.Run();
  } catch (const std::exception& e) {
    quv::program::ReportError(kProgram, e.what());
    return quv::program::kExitFailure;
  }
  return quv::program::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  // A fleet of thousands of servers needs more descriptors than the usual
  // 1,024; raised before the pool is made, which sizes its idle cap from it.
  quv::RaiseOpenFileLimit();
  const quv::TClientScope scope;
  // The whole command line is checked before Qt, so that help, version and
  // a wrong option need no display.
  const quv::TViewerOptions options = quv::ParseViewerArguments(ArgumentsOf(argc, argv));
  if (options.Help || options.Version) {
    if (options.Help)
      std::fputs(kUsage, stdout);
    else
      std::printf("%s %s\n", kProgram, QUV_VERSION);
    return quv::program::FinishStandardOutput(kProgram, quv::program::kExitSuccess);
  }
  if (!options.Error.empty()) return quv::program::ReportUsageError(kProgram, options.Error);
  if (options.Once) return PrintOnce(options);
  if (options.Serve) return Serve(options);
  if (!options.HistoryFile.empty()) return PrintHistory(options);
  if (options.Tui) return RunTerminal(options);
  const std::optional<quv::THostConfig> config = ReadConfig(options);
  if (!config) return quv::program::kExitUsage;
  qInstallMessageHandler(ReportQtStart);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  const quv::TQtMainThread mainThread;  // replies of queued calls are applied on the GUI thread
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  quv::TFTasks window(*config, calls, probe);
  window.show();
  return QApplication::exec();
}
