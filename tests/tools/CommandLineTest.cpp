// Every program says the same wrong command line the same way: an unknown
// option, an argument nothing takes and an unknown command, each with the
// hint to ask for help, and exit status 2 before any work.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/kit/ProgramRun.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

struct TWrongCommandLine {
  std::string Program;    // the program's name in its messages
  std::string Binary;     // the built program, with what its environment needs
  std::string Arguments;  // a wrong command line
  std::string Fault;      // what the program must say of it
};

std::vector<TWrongCommandLine> WrongCommandLines() {
  std::vector<TWrongCommandLine> lines = {
      {"quvserver", QUV_SERVER_BINARY, "--bogus=1", "unknown option '--bogus'"},
      {"quvserver", QUV_SERVER_BINARY, "--port 0 x", "unexpected argument 'x'"},
      {"quvcall", QUV_CALL_BINARY, "--bogus quvtest.test.echo", "unknown option '--bogus'"},
      {"quvintf", QUV_INTF_BINARY, "frobnicate x", "unknown command 'frobnicate'"},
      {"quvintf", QUV_INTF_BINARY, "dump --bogus a.quv", "unknown option '--bogus'"},
      {"quvintf", QUV_INTF_BINARY, "dump a.quv b.quv", "unexpected argument 'b.quv'"},
      {"quvrecordset", QUV_RECORDSET_BINARY, "frobnicate", "unknown command 'frobnicate'"},
      {"quvrecordset", QUV_RECORDSET_BINARY, "dump a.rs b.rs", "unexpected argument 'b.rs'"},
      {"quvrecordset", QUV_RECORDSET_BINARY, "-x dump", "unknown option '-x'"},
      {"quvdiff", QUV_DIFF_BINARY, "frobnicate a b c", "unknown command 'frobnicate'"},
      {"quvdiff", QUV_DIFF_BINARY, "make a b c d", "unexpected argument 'd'"},
      {"quvupdate", QUV_UPDATE_BINARY, "--bogus lib.quv", "unknown option '--bogus'"},
      {"quvregcom", QUV_REGCOM_BINARY, "--bogus lib.so", "unknown option '--bogus'"},
  };
#ifdef QUV_TASKS_BINARY
  // Without a display and a runtime folder: the command line is checked
  // before Qt starts, and nothing of Qt reaches the user.
  const std::string tasks = "env -u XDG_RUNTIME_DIR -u QT_QPA_PLATFORM DISPLAY= WAYLAND_DISPLAY= " +
                            std::string(QUV_TASKS_BINARY);
  lines.push_back({"quvtasks", tasks, "--bogus", "unknown option '--bogus'"});
  lines.push_back({"quvtasks", tasks, "-platform offscreen -style=Fusion 127.0.0.1 10.0.0.5",
                   "unexpected argument '10.0.0.5'"});
#endif
  return lines;
}

TEST(CommandLine, EveryProgramNamesAWrongArgumentAlikeAndEndsWithStatus2) {
  TTempFolder folder;
  for (const TWrongCommandLine& line : WrongCommandLines()) {
    SCOPED_TRACE(line.Program + " " + line.Arguments);
    const testing::TProgramRun run = testing::RunProgram(
        folder.Path(), "cd " + folder.Path() + " && " + line.Binary + " " + line.Arguments);
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err, line.Program + ": " + line.Fault + "\nTry '" + line.Program + " --help'.\n");
    EXPECT_EQ(run.Out, "");
  }
}

}  // namespace
}  // namespace quv
