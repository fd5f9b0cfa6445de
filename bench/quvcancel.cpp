// quvcancel: cancels tasks on a server through the viewer's own cancel path
// (the cancel runner, its remote calls and its audit log), so that scripts
// exercise the code the operator's button runs.
//
//   quvcancel --log FILE ADDRESS REQUEST_ID...
//
// Prints one line per task, "REQUEST_ID ok" or "REQUEST_ID <cause>"; the
// exit status is 0 when the server took every cancel, 1 otherwise, 2 for a
// wrong command line.

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/CancelRunner.h"
#include "app/RemoteCalls.h"
#include "client/quvClientScope.h"
#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "platform/StrUtils.h"

namespace {

constexpr const char* kProgram = "quvcancel";

// The targets of `requestIds` on the server of `hostLine`; empty when one is no number.
std::vector<quv::TCancelTarget> Targets(const std::string& hostLine,
                                        const std::vector<std::string>& requestIds) {
  std::vector<quv::TCancelTarget> targets;
  for (const std::string& id : requestIds) {
    quv::TTaskRow row;
    row.RequestId = quv::StrToIntDef(id, -1);
    if (row.RequestId < 0 || std::to_string(row.RequestId) != id) return {};
    row.HostLine = hostLine;
    targets.push_back(quv::TaskCancelTarget(row));
  }
  return targets;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || std::string(argv[1]) != "--log")
    return quv::program::ReportUsageError(kProgram, "usage: quvcancel --log FILE ADDRESS REQUEST_ID...");
  const std::vector<quv::TCancelTarget> targets =
      Targets(std::string("soak=") + argv[3], std::vector<std::string>(argv + 4, argv + argc));
  if (targets.empty()) return quv::program::ReportUsageError(kProgram, "a request id is no number");
  const quv::TClientScope scope;
  quv::TClientRemoteCalls calls;
  quv::TCancelAuditLog log(argv[2]);
  std::mutex lock;
  std::condition_variable changed;
  std::size_t done = 0;
  bool allTaken = true;
  {
    quv::TCancelRunner runner(calls, log);
    runner.Submit(targets, [&](const quv::TCancelOutcome& outcome) {
      std::lock_guard<std::mutex> guard(lock);
      std::printf("%s %s\n", outcome.Target.ParamValue.c_str(),
                  outcome.Done() ? "ok" : quv::Cp1252ToUtf8(outcome.Cause).c_str());
      allTaken = allTaken && outcome.Done() && outcome.Logged;
      ++done;
      changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return done == targets.size(); });
  }
  return quv::program::FinishStandardOutput(
      kProgram, allTaken ? quv::program::kExitSuccess : quv::program::kExitFailure);
}
