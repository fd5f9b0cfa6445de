// A program that knows only the client scope and the client recordset: it
// queues a call of quvtest.test.sleep to HOST, waits until the file GO
// exists (the caller makes it once the server holds the call) and ends while
// the call is still in flight, one of three ways (MODE):
//   waited   the recordset is freed before the scope ends (its release waits)
//   released its thread is let go without a wait, then the recordset is freed
//   alive    the recordset is still alive when the scope ends
// Exit status 0 when it ended cleanly, 1 with the error on standard error.

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "client/quvCallSeams.h"
#include "client/quvClientRecordset.h"
#include "client/quvClientScope.h"
#include "client/quvExecuteThreads.h"

namespace {

constexpr const char* kChannel = "exit";

std::unique_ptr<quv::TquvClientRecordset> StartCall(const std::string& host) {
  auto recordset = std::make_unique<quv::TquvClientRecordset>();
  recordset->SetDefinition(host + "@quvtest.test.sleep");
  recordset->SetText(kChannel);
  recordset->SetOption(1);
  quv::TquvRecordset parameters("", "quvtest.test.sleep");
  parameters.SetFieldValue("ms", quv::TVariant(600000));
  recordset->Execute(&parameters);
  return recordset;
}

// Waits up to 20 s for `fileName` to appear.
void AwaitFile(const std::string& fileName) {
  for (int round = 0; round < 2000 && !std::filesystem::exists(fileName); ++round)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Run(const std::string& mode, const std::string& host, const std::string& go,
         std::unique_ptr<quv::TquvClientRecordset>& alive) {
  if (quv::CallQueue() == nullptr || quv::ChangeNotifier() == nullptr)
    throw std::runtime_error("no call queue or no notification hub");
  if (mode == "waited") {
    auto recordset = StartCall(host);
    AwaitFile(go);
  } else if (mode == "released") {
    auto recordset = StartCall(host);
    AwaitFile(go);
    dynamic_cast<quv::TquvExecuteThreads&>(*quv::CallQueue()).Release(kChannel, false);
  } else if (mode == "alive") {
    alive = StartCall(host);
    AwaitFile(go);
  } else {
    throw std::runtime_error("unknown mode " + mode);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: queued_call_at_exit waited|released|alive HOST GO\n", stderr);
    return 2;
  }
  std::unique_ptr<quv::TquvClientRecordset> alive;
  try {
    const quv::TClientScope scope;
    Run(argv[1], argv[2], argv[3], alive);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "queued_call_at_exit: %s\n", e.what());
    return 1;
  }
  return 0;
}
