#include <atomic>
#include <cstdio>
#include <memory>
#include <random>

#include "appserver/quvDemo.h"
#include "appserver/quvServer.h"
#include "appserver/quvServerLog.h"
#include "appserver/quvServerOptions.h"
#include "appserver/quvServerState.h"
#include "appserver/quvsystem.h"
#include "appserver/quvtest.h"
#include "client/quvClientScope.h"
#include "platform/OpenFileLimit.h"
#include "platform/Process.h"
#include "platform/ProgramIo.h"

namespace {

std::atomic<quv::TquvServer*> gServer{nullptr};

void OnStopSignal() {
  if (quv::TquvServer* server = gServer.load()) server->Stop();
}

// The address the demo's clients reach the server at.
std::string DemoAddress(const std::string& listenAddress, uint16_t port) {
  const std::string host = listenAddress == "0.0.0.0" ? "127.0.0.1" : listenAddress;
  return host + ":" + std::to_string(port);
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace quv;
  constexpr const char* kProgram = "quvserver";
  // Before the pool is made, which sizes its idle cap from this limit.
  RaiseOpenFileLimit();
  // The framework's process-wide objects, the interface registry with the
  // method definitions (quvtest.quv and quvsystem.quv among the program's
  // resources) among them; they end after the server has stopped its
  // connections and the demo its clients.
  const TClientScope scope;
  try {
    const TServerOptions options = ParseServerOptions(argc, argv);
    if (options.Help || options.Version) {
      if (options.Help)
        std::fputs(ServerHelpText().c_str(), stdout);
      else
        std::printf("%s %s\n", kProgram, QUV_VERSION);
      return program::FinishStandardOutput(kProgram, program::kExitSuccess);
    }
    const uint32_t seed = options.Seed ? *options.Seed : std::random_device()();
    std::unique_ptr<TTaskLog> taskLog;
    if (!options.TaskLogFile.empty()) taskLog = std::make_unique<TTaskLog>(options.TaskLogFile);
    TServerState state(seed, taskLog.get());
    TMethodRegistry methods;
    RegisterQuvTest(methods);
    RegisterQuvSystem(methods, state);
    TquvServer server(options, methods, state);
    const uint16_t port = server.Listen();
    std::printf("listening on %s:%u\n", options.ListenAddress.c_str(), port);
    std::printf("locator on %s:%u\n", options.LocatorListen.c_str(), server.LocatorPort());
    // Whoever started the server learns where it listens from these lines.
    if (program::FinishStandardOutput(kProgram, program::kExitSuccess) != program::kExitSuccess)
      return program::kExitFailure;
    gServer.store(&server);
    HandleStopSignals(OnStopSignal);
    std::unique_ptr<TDemoWorkload> demo;
    if (options.Demo)
      demo = std::make_unique<TDemoWorkload>(DemoAddress(options.ListenAddress, port), seed,
                                             options.DemoScalePercent);
    server.Run();
    demo.reset();
    gServer.store(nullptr);
    return program::kExitSuccess;
  } catch (const EServerOptionsError& e) {
    return program::ReportUsageError(kProgram, e.what());
  } catch (const std::exception& e) {
    ServerLogLine(e.what());
    return program::kExitFailure;
  }
}
