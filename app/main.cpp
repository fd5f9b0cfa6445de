// quvtasks: the task viewer. Lists the requests and sessions of the servers
// named in quvtasks.ini beside the program (or in the file given with
// --settings, or of one address given on the command line) and cancels the
// focused one; with --once it prints the merged view without a window.

#include <QApplication>
#include <QStyleFactory>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/OnceReport.h"
#include "app/QtMainThread.h"
#include "app/RemoteCalls.h"
#include "app/ViewerOptions.h"
#include "app/uTasks2.h"
#include "client/quvClientScope.h"
#include "platform/Exception.h"
#include "platform/ExePath.h"
#include "platform/ProgramIo.h"

namespace {

constexpr const char* kProgram = "quvtasks";

const char* const kUsage =
    "Usage: quvtasks [--settings FILE] [server-address]\n"
    "       quvtasks --once [--sessions] [--json|--csv] [--count N --interval S]\n"
    "                [--settings FILE] [server-address]\n"
    "\n"
    "Shows the requests running on application servers and their open sessions.\n"
    "The servers are the keys of section [Hosts] of the settings file beside the\n"
    "program (its path plus \".ini\"), each written label=address; without any,\n"
    "the one server is server-address, or 127.0.0.1. An address may name a port\n"
    "(host:port); the default port is 6015. [MAIN] TITLE is added to the caption.\n"
    "\n"
    "  --settings FILE  read FILE instead of the settings file beside the program\n"
    "  --once           print the merged task view once, without a window, and end;\n"
    "                   status 1 when a server did not answer (named on stderr)\n"
    "  --sessions       print the session view instead\n"
    "  --json, --csv    print JSON (a list of objects) or CSV instead of a table\n"
    "  --count N        print N times, --interval S seconds apart (default 1)\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "Qt's own options (-platform offscreen, -style ...) are taken as well. A wrong\n"
    "command line, or a settings file named with --settings that cannot be read\n"
    "(missing, a folder, empty), ends the viewer with status 2 before any window.\n";

// Qt ends the process when no window system can be reached; say so plainly.
void ReportFatal(QtMsgType type, const QMessageLogContext&, const QString& message) {
  quv::program::ReportError(kProgram, message.toStdString());
  if (type == QtFatalMsg) {
    quv::program::ReportError(kProgram,
                              "cannot open a display; set DISPLAY (or run under xvfb-run)");
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
    return quv::LoadHostConfig(settingsFile, options.Address ? &*options.Address : nullptr);
  } catch (const quv::EHostConfigError& e) {
    quv::program::ReportError(kProgram, e.what());
    return std::nullopt;
  }
}

// --once: the merged view on standard output, without Qt's window system.
int PrintOnce(const quv::TViewerOptions& options) {
  if (!options.Error.empty()) return quv::program::ReportUsageError(kProgram, options.Error);
  const std::optional<quv::THostConfig> config = ReadConfig(options);
  if (!config) return quv::program::kExitUsage;
  const quv::TOnceFormat format = options.Json  ? quv::TOnceFormat::Json
                                  : options.Csv ? quv::TOnceFormat::Csv
                                                : quv::TOnceFormat::Table;
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  quv::TOnceReport report(config->Hosts, calls, probe);
  bool allAnswered = true;
  try {
    for (int i = 0; i < options.Count; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::seconds(options.IntervalSeconds));
      allAnswered &= report.Print(options.Sessions, format, std::cout, std::cerr);
      std::cout.flush();
    }
  } catch (const std::exception& e) {
    quv::program::ReportError(kProgram, e.what());
    allAnswered = false;
  }
  return quv::program::FinishStandardOutput(
      kProgram, allAnswered ? quv::program::kExitSuccess : quv::program::kExitFailure);
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  // --help and --version are answered before Qt, so that they need no display;
  // other faults wait until Qt has taken its own options out.
  const quv::TViewerOptions early = quv::ParseViewerArguments(ArgumentsOf(argc, argv));
  if (early.Help || early.Version) {
    if (early.Help)
      std::fputs(kUsage, stdout);
    else
      std::printf("%s %s\n", kProgram, QUV_VERSION);
    return quv::program::FinishStandardOutput(kProgram, quv::program::kExitSuccess);
  }
  if (early.Once) return PrintOnce(early);
  qInstallMessageHandler(ReportFatal);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  const quv::TQtMainThread mainThread;  // replies of queued calls are applied on the GUI thread
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

  QStringList arguments = QApplication::arguments();
  arguments.removeFirst();
  const quv::TViewerOptions options = quv::ParseViewerArguments(arguments);
  if (!options.Error.empty()) return quv::program::ReportUsageError(kProgram, options.Error);
  const std::optional<quv::THostConfig> config = ReadConfig(options);
  if (!config) return quv::program::kExitUsage;

  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  quv::TFTasks window(*config, calls, probe);
  window.show();
  return QApplication::exec();
}
