#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "client/quvClient.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/StuckPeer.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

// Longer than the program needs by far, shorter than the package's 30 s read
// and the release's 60 s wait that an uninterrupted call would cost.
constexpr const char* kLimit = "timeout 20 ";

// Runs the program that ends with a queued call in flight to `host` in
// `mode`, telling it to end once `inFlight` says the server holds the call.
testing::TProgramRun EndWithCallInFlight(const std::string& mode, const std::string& host,
                                         const std::function<bool()>& inFlight) {
  TTempFolder folder;
  const std::string go = folder.Path() + "/go";
  testing::TProgramRun run{};
  std::thread program([&] {
    run = testing::RunProgram(folder.Path(), std::string(kLimit) + QUV_QUEUED_CALL_AT_EXIT + " " +
                                                 mode + " " + host + " " + go);
  });
  for (int round = 0; round < 2000 && !inFlight(); ++round)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ofstream(go).put('\n');
  program.join();
  return run;
}

// Whether `server` runs a call of quvtest.test.sleep.
bool SleepRuns(const testing::TServerProcess& server) {
  std::unique_ptr<TquvClientRecordset> tasks;
  ExecMethod("quvsystem.tasks.list", {}, {}, tasks, server.Address());
  for (int32_t row = 0; row < tasks->RecordCount(); ++row) {
    tasks->GoToRow(row);
    for (int32_t field = 0; field < tasks->FieldCount(); ++field)
      if (tasks->GetFieldValueByIndex(field).ToText().find("quvtest.test.sleep") !=
          std::string::npos)
        return true;
  }
  return false;
}

// Ending a program while its queued call waits inside a reply that never
// comes, or on a server that holds its reply and probes meanwhile, interrupts
// the call and joins its thread before the pool goes: status 0, no abort.
TEST(ExitInFlight, AProgramEndsCleanlyWhileItsQueuedCallIsInFlight) {
  for (const char* mode : {"waited", "released", "alive"}) {
    SCOPED_TRACE(mode);
    {
      testing::TStuckPeer stuck;
      const testing::TProgramRun run =
          EndWithCallInFlight(mode, stuck.Address(), [&] { return stuck.StuckCalls() > 0; });
      EXPECT_EQ(run.Status, 0) << run.Err;
      EXPECT_EQ(run.Err, "");
    }
    testing::TServerProcess server;
    const testing::TProgramRun run =
        EndWithCallInFlight(mode, server.Address(), [&] { return SleepRuns(server); });
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
  }
}

}  // namespace
}  // namespace quv
