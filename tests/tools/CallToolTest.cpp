// The quvcall tool against the application server on loopback: the reply as
// a table or JSON, parameters converted by their fields' types, and wrong
// command lines, hosts and parameters refused before anything is sent.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "platform/Exception.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"
#include "tools/quvcall/CallArguments.h"
#include "tools/quvcall/CallHost.h"

namespace quv {
namespace {

using testing::TProgramRun;
using testing::TServerProcess;

TProgramRun RunCall(const TTempFolder& folder, const std::string& arguments) {
  return testing::RunProgram(folder.Path(), std::string(QUV_CALL_BINARY) + " --intf " +
                                                QUV_TEST_QUVTEST_FILE + " " + arguments);
}

class CallTool : public ::testing::Test {
 protected:
  TProgramRun Echo(const std::string& parameters) {
    return RunCall(FFolder, "--host " + FServer.Address() + " quvtest.test.echo " + parameters);
  }
  // Status and standard error of a run, as one text.
  static std::string Failure(const TProgramRun& run) {
    return std::to_string(run.Status) + " " + run.Err;
  }

  TServerProcess FServer;
  TTempFolder FFolder;
};

TEST_F(CallTool, PrintsTheReplyAsATableOrAsJsonAndFailsWithTheErrorText) {
  const TProgramRun table = Echo("code=42 'name=Conceição' note=");
  ASSERT_EQ(table.Status, 0) << table.Err;
  EXPECT_EQ(table.Out,
            "code | name      | amount | active | note\n"
            "---- | --------- | ------ | ------ | ------\n"
            "42   | Conceição | (null) | (null) | (null)\n");

  const TProgramRun json =
      RunCall(FFolder, "--json --host " + FServer.Address() + " quvtest.test.rows count=2");
  ASSERT_EQ(json.Status, 0) << json.Err;
  const nlohmann::json reply = nlohmann::json::parse(json.Out);
  ASSERT_EQ(reply["rows"].size(), 2u);
  EXPECT_EQ(reply["rows"][1]["clientdesc"], "cliente 2");

  const TProgramRun failed =
      RunCall(FFolder, "--host " + FServer.Address() + " quvtest.test.fail 'message=Não deu'");
  EXPECT_EQ(Failure(failed), "1 quvcall: Não deu\n");
  EXPECT_EQ(failed.Out, "");
  EXPECT_EQ(RunCall(FFolder, "--help").Out.find("Examples:") != std::string::npos, true);
  EXPECT_EQ(RunCall(FFolder, "--version").Out.rfind("quvcall ", 0), 0u);
  EXPECT_EQ(Echo("code=1 > /dev/full").Status, 1);
}

TEST_F(CallTool, ValuesAreConvertedByTheirFieldsTypesAndBadOnesNameTheParameter) {
  const auto row = [&](const std::string& parameters) {
    const TProgramRun run =
        RunCall(FFolder, "--json --host " + FServer.Address() + " quvtest.test.echo " + parameters);
    EXPECT_EQ(run.Status, 0) << run.Err;
    return run.Status == 0 ? nlohmann::json::parse(run.Out)["rows"][0] : nlohmann::json();
  };
  EXPECT_EQ(row("active=true")["active"], true);
  EXPECT_EQ(row("active=1")["active"], true);
  EXPECT_EQ(row("active=false")["active"], false);
  const nlohmann::json numbers = row("code=-7 amount=12.5");
  EXPECT_EQ(numbers["code"], -7);
  EXPECT_EQ(numbers["amount"], 12.5);

  EXPECT_EQ(Failure(Echo("active=sim")),
            "2 quvcall: parameter \"active\": Could not convert variant \"sim\" (text) to "
            "Boolean\nTry 'quvcall --help'.\n");
  EXPECT_EQ(Failure(Echo("colour=1")),
            "2 quvcall: parameter \"colour\" is not a field of the method (its fields: code, "
            "name, amount, active, note)\nTry 'quvcall --help'.\n");
  EXPECT_EQ(Failure(Echo("name=日本")),
            "2 quvcall: parameter \"name\": character \"日\" U+65E5 is outside Windows-1252\nTry "
            "'quvcall --help'.\n");
  EXPECT_EQ(Failure(Echo("code")),
            "2 quvcall: parameters are name=value, not \"code\"\nTry 'quvcall --help'.\n");
  // A long value is not echoed whole.
  EXPECT_LT(Echo("code=" + std::string(5000, '9')).Err.size(), 450u);
}

// The quvsystem lists answer in texts; the reply shows what they stand for,
// as the task viewer's print does: numbers, Booleans and ISO date-times.
TEST_F(CallTool, QuvsystemListsShowTypedValues) {
  const auto reply = [&](const std::string& call) {
    const TProgramRun run = RunCall(FFolder, "--json --host " + FServer.Address() + " " + call);
    EXPECT_EQ(run.Status, 0) << run.Err;
    return run.Status == 0 ? nlohmann::json::parse(run.Out)["rows"] : nlohmann::json();
  };
  ASSERT_EQ(reply("quvsystem.sessions.open username=ana").size(), 1u);
  const nlohmann::json session = reply("quvsystem.sessions.list").at(0);
  EXPECT_EQ(session["username"], "ana");
  EXPECT_EQ(session["active"], false);  // no call of its own is running
  EXPECT_TRUE(std::regex_match(session["creation_time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?)")))
      << session;
  const nlohmann::json task = reply("quvsystem.tasks.list").at(0);
  EXPECT_EQ(task["requestdesc"], "quvsystem.tasks.list");
  EXPECT_TRUE(task["requestid"].is_number_integer()) << task;
  EXPECT_TRUE(task["ellapsedtime"].is_number_integer()) << task;
  EXPECT_EQ(task["systemcmd"], true);
  EXPECT_EQ(task["cancelled"], false);
  const TProgramRun table =
      RunCall(FFolder, "--host " + FServer.Address() + " quvsystem.sessions.list");
  EXPECT_TRUE(std::regex_search(table.Out, std::regex(R"(\| \d{4}-\d\d-\d\dT\d\d:)")))
      << table.Out;
}

TEST_F(CallTool, WrongHostsAndCommandLinesFailBeforeAnyCall) {
  EXPECT_EQ(Failure(RunCall(FFolder, "--host no-such-host.invalid quvtest.test.echo code=1")),
            "1 quvcall: cannot resolve the host \"no-such-host.invalid\": Name or service not "
            "known\n");
  for (const char* port : {"0", "65536", "x", "", "-1"}) {
    EXPECT_EQ(
        Failure(RunCall(FFolder, std::string("--host 127.0.0.1:") + port + " quvtest.test.echo")),
        std::string("2 quvcall: --host: the port must be a number from 1 to 65535, not \"") + port +
            "\"\nTry 'quvcall --help'.\n");
  }
  EXPECT_EQ(Failure(RunCall(FFolder, "--bogus quvtest.test.echo")),
            "2 quvcall: unknown option '--bogus'\nTry 'quvcall --help'.\n");
  EXPECT_EQ(Failure(RunCall(FFolder, "--timeout")),
            "2 quvcall: --timeout: 1 required MS missing\nTry 'quvcall --help'.\n");
  EXPECT_EQ(Failure(RunCall(FFolder, "--intf " + FFolder.Path() + " quvtest.test.echo")),
            "1 quvcall: " + FFolder.Path() + ": Is a directory\n");
}

TEST(CallArguments, OptionsRepeatAndParametersSplitAtTheFirstEqualsSign) {
  CLI::App app;
  calltool::TCallArguments args;
  calltool::AddCallOptions(app, args);
  std::vector<std::string> line = {
      "--intf",   "a.quv", "--intf", "b.quv", "--timeout", "500", "quvtest.test.echo",
      "name=a=b", "note="};
  std::reverse(line.begin(), line.end());
  app.parse(line);
  EXPECT_EQ(args.InterfaceFiles, (std::vector<std::string>{"a.quv", "b.quv"}));
  EXPECT_EQ(args.Method, "quvtest.test.echo");
  EXPECT_EQ(args.TimeoutMs, 500);
  std::vector<std::string> names;
  std::vector<std::string> values;
  calltool::SplitParameters(args.Parameters, names, values);
  EXPECT_EQ(names, (std::vector<std::string>{"name", "note"}));
  EXPECT_EQ(values, (std::vector<std::string>{"a=b", ""}));
  EXPECT_EQ(calltool::ParseHostOption("srv01").Port, 6015);
  EXPECT_EQ(calltool::ParseHostOption("srv01:7000").Port, 7000);
}

}  // namespace
}  // namespace quv
