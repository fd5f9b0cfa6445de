#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/Exception.h"
#include "tests/kit/TempFolder.h"
#include "tests/kit/ServerProcess.h"
#include "tools/common/ToolFiles.h"
#include "tools/quvcall/CallArguments.h"

namespace quv {
namespace {

using testing::TServerProcess;

struct TRun {
  int Status;
  std::string Out;
  std::string Err;
};

TRun RunCall(const TTempFolder& folder, const std::string& arguments) {
  const std::string out = folder.Path() + "/out.txt";
  const std::string err = folder.Path() + "/err.txt";
  const int status =
      std::system((std::string(QUV_CALL_BINARY) + " --intf " + QUV_TEST_QUVTEST_FILE + " " +
                   arguments + " >" + out + " 2>" + err)
                      .c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, toolfiles::ReadWholeFile(out),
          toolfiles::ReadWholeFile(err)};
}

TEST(CallTool, PrintsTheReplyAsATableOrAsJsonAndFailsWithTheErrorText) {
  TServerProcess server;
  TTempFolder folder;
  const std::string host = "--host " + server.Address();
  const TRun table = RunCall(folder, host + " quvtest.test.echo code=42 'name=Conceição' note=");
  ASSERT_EQ(table.Status, 0) << table.Err;
  EXPECT_EQ(table.Out,
            "code | name      | amount | active | note\n"
            "---- | --------- | ------ | ------ | ------\n"
            "42   | Conceição | (null) | (null) | (null)\n");

  const TRun json = RunCall(folder, "--json " + host + " quvtest.test.rows count=2");
  ASSERT_EQ(json.Status, 0) << json.Err;
  const nlohmann::json reply = nlohmann::json::parse(json.Out);
  ASSERT_EQ(reply["rows"].size(), 2u);
  EXPECT_EQ(reply["rows"][1]["clientdesc"], "cliente 2");

  const TRun failed = RunCall(folder, host + " quvtest.test.fail 'message=Não deu'");
  EXPECT_EQ(failed.Status, 1);
  EXPECT_EQ(failed.Err, "quvcall: Não deu\n");
  EXPECT_EQ(failed.Out, "");

  EXPECT_EQ(RunCall(folder, host + " quvtest.test.echo code").Status, 2);
  const TRun help = RunCall(folder, "--help");
  EXPECT_EQ(help.Status, 0);
  EXPECT_NE(help.Out.find("Examples:"), std::string::npos);
}

TEST(CallTool, ArgumentsSplitAtTheFirstEqualsSign) {
  const calltool::TCallArguments args =
      calltool::ParseCallArguments({"--timeout", "500", "quvtest.test.echo", "name=a=b", "note="});
  EXPECT_EQ(args.Method, "quvtest.test.echo");
  EXPECT_EQ(args.TimeoutMs, 500);
  EXPECT_EQ(args.Names, (std::vector<std::string>{"name", "note"}));
  EXPECT_EQ(args.Values, (std::vector<std::string>{"a=b", ""}));
  EXPECT_THROW(calltool::ParseCallArguments({"--timeout", "-1", "m"}), Exception);
  EXPECT_THROW(calltool::ParseCallArguments({"--host"}), Exception);
  EXPECT_THROW(calltool::ParseCallArguments({"m", "=x"}), Exception);
}

}  // namespace
}  // namespace quv
