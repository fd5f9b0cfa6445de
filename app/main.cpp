// quvtasks: the task viewer. Lists the requests and sessions of the servers
// named in quvtasks.ini beside the program (or of one address given on the
// command line) and cancels the focused one.

#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/RemoteCalls.h"
#include "app/uTasks2.h"
#include "platform/ExePath.h"

namespace {

const char* const kUsage =
    "Usage: quvtasks [server-address]\n"
    "\n"
    "Shows the requests running on application servers and their open sessions.\n"
    "The servers are the keys of section [Hosts] of the settings file beside the\n"
    "program (its path plus \".ini\"), each written label=address; without any,\n"
    "the one server is server-address, or 127.0.0.1. An address may name a port\n"
    "(host:port); the default port is 6015. [MAIN] TITLE is added to the caption.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

// Qt ends the process when no window system can be reached; say so plainly.
void ReportFatal(QtMsgType type, const QMessageLogContext&, const QString& message) {
  std::fprintf(stderr, "quvtasks: %s\n", message.toLocal8Bit().constData());
  if (type == QtFatalMsg) {
    std::fprintf(stderr,
                 "quvtasks: cannot open a display; set DISPLAY (or run under xvfb-run)\n");
    ::_exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quvtasks %s\n", QUV_VERSION);
      return 0;
    }
  }
  qInstallMessageHandler(ReportFatal);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

  const QStringList arguments = QApplication::arguments();
  const std::string firstArgument = arguments.size() > 1 ? arguments[1].toStdString() : std::string();
  const quv::THostConfig config = quv::LoadHostConfig(
      quv::SettingsFileName(quv::ExecutablePath()), arguments.size() > 1 ? &firstArgument : nullptr);

  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe;
  quv::TFTasks window(config, calls, probe);
  window.show();
  return QApplication::exec();
}
