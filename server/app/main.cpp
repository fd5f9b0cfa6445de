#include <atomic>
#include <csignal>
#include <cstdio>

#include "server/app/quvServer.h"
#include "server/app/quvServerLog.h"
#include "server/app/quvServerOptions.h"
#include "server/app/quvtest.h"
#include "server/common/quvIntfRegistry.h"

namespace {

std::atomic<quv::TquvServer*> gServer{nullptr};

void OnStopSignal(int) {
  if (quv::TquvServer* server = gServer.load()) server->Stop();
}

void HandleSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace quv;
  try {
    const TServerOptions options = ParseServerOptions(argc, argv);
    if (options.Help) {
      std::fputs(ServerHelpText().c_str(), stdout);
      return 0;
    }
    // The method definitions (quvtest.quv among the program's resources);
    // released after the server has stopped its connections.
    TquvInterfaceRegistryScope interfaces;
    TMethodRegistry methods;
    RegisterQuvTest(methods);
    TquvServer server(options, methods);
    const uint16_t port = server.Listen();
    gServer.store(&server);
    HandleSignals();
    std::printf("listening on %s:%u\n", options.ListenAddress.c_str(), port);
    std::printf("locator on %s:%u\n", options.LocatorListen.c_str(), server.LocatorPort());
    std::fflush(stdout);
    server.Run();
    gServer.store(nullptr);
    return 0;
  } catch (const EServerOptionsError& e) {
    std::fprintf(stderr, "quvserver: %s\nTry --help.\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    ServerLogLine(e.what());
    return 1;
  }
}
