// quvtasks: the task viewer. Lists the requests and sessions of the servers
// named in quvtasks.ini beside the program (or in the file given with
// --settings, or of one address given on the command line) and cancels the
// focused one.

#include <unistd.h>

#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/RemoteCalls.h"
#include "app/ViewerOptions.h"
#include "app/uTasks2.h"
#include "platform/ExePath.h"

namespace {

const char* const kUsage =
    "Usage: quvtasks [--settings FILE] [server-address]\n"
    "\n"
    "Shows the requests running on application servers and their open sessions.\n"
    "The servers are the keys of section [Hosts] of the settings file beside the\n"
    "program (its path plus \".ini\"), each written label=address; without any,\n"
    "the one server is server-address, or 127.0.0.1. An address may name a port\n"
    "(host:port); the default port is 6015. [MAIN] TITLE is added to the caption.\n"
    "\n"
    "  --settings FILE  read FILE instead of the settings file beside the program\n"
    "  --help           show this text\n"
    "  --version        show the version\n";

// Qt ends the process when no window system can be reached; say so plainly.
void ReportFatal(QtMsgType type, const QMessageLogContext&, const QString& message) {
  std::fprintf(stderr, "quvtasks: %s\n", message.toLocal8Bit().constData());
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "quvtasks: cannot open a display; set DISPLAY (or run under xvfb-run)\n");
    ::_exit(1);
  }
}

std::vector<std::string> ArgumentsAfterProgram(const QStringList& arguments) {
  std::vector<std::string> result;
  for (qsizetype i = 1; i < arguments.size(); ++i) result.push_back(arguments[i].toStdString());
  return result;
}

// Exit status 2 with the fault and a pointer to --help.
int ReportUsageError(const std::string& error) {
  std::fprintf(stderr, "quvtasks: %s (see quvtasks --help)\n", error.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // --help and --version are answered before Qt, so that they need no display;
  // other faults wait until Qt has taken its own options out.
  const quv::TViewerOptions early =
      quv::ParseViewerArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (early.Help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (early.Version) {
    std::printf("quvtasks %s\n", QUV_VERSION);
    return 0;
  }
  qInstallMessageHandler(ReportFatal);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

  const quv::TViewerOptions options =
      quv::ParseViewerArguments(ArgumentsAfterProgram(QApplication::arguments()));
  if (!options.Error.empty()) return ReportUsageError(options.Error);
  if (!options.SettingsFile.empty() && !std::ifstream(options.SettingsFile))
    return ReportUsageError("cannot read the settings file " + options.SettingsFile);
  const std::string settingsFile = options.SettingsFile.empty()
                                       ? quv::SettingsFileName(quv::ExecutablePath())
                                       : options.SettingsFile;
  const quv::THostConfig config =
      quv::LoadHostConfig(settingsFile, options.Address ? &*options.Address : nullptr);

  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  quv::TFTasks window(config, calls, probe);
  window.show();
  return QApplication::exec();
}
