// The viewer's command line: the options read with Qt's parser, and the
// program's answers to help, version, wrong options and settings files it
// cannot read, all before any window.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "app/ViewerOptions.h"
#include "platform/DateTime.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

TEST(ViewerOptions, SettingsFileAndOneAddressBesideQtsOwnOptions) {
  const TViewerOptions spaced = ParseViewerArguments(
      {"-platform", "offscreen", "--settings", "/tmp/a.ini", "-style", "Fusion", "10.0.0.5"});
  EXPECT_EQ(spaced.SettingsFile, "/tmp/a.ini");
  EXPECT_EQ(spaced.Address, "10.0.0.5");
  EXPECT_EQ(spaced.Error, "");
  EXPECT_EQ(ParseViewerArguments({"-style=Fusion", "--reverse", "10.0.0.5"}).Error, "");
  EXPECT_EQ(ParseViewerArguments({"10.0.0.5", "x"}).Error, "unexpected argument 'x'");
  const TViewerOptions joined = ParseViewerArguments({"10.0.0.6:7000", "--settings=b.ini"});
  EXPECT_EQ(joined.SettingsFile, "b.ini");
  EXPECT_EQ(joined.Address, "10.0.0.6:7000");
  const TViewerOptions none = ParseViewerArguments({});
  EXPECT_EQ(none.SettingsFile, "");
  EXPECT_FALSE(none.Address.has_value());
  EXPECT_FALSE(none.Help || none.Version);
  const TViewerOptions afterDoubleDash = ParseViewerArguments({"--", "--settings"});
  EXPECT_EQ(afterDoubleDash.Address, "--settings");
  EXPECT_EQ(afterDoubleDash.SettingsFile, "");
  EXPECT_EQ(afterDoubleDash.Error, "");
}

TEST(ViewerOptions, FaultsAreNamedAndHelpIsStillSeen) {
  EXPECT_EQ(ParseViewerArguments({"--settings"}).Error, "Missing value after '--settings'");
  EXPECT_EQ(ParseViewerArguments({"--settings="}).Error, "--settings needs a file name");
  const TViewerOptions unknown =
      ParseViewerArguments({"-platform", "offscreen", "--help", "--bogus"});
  EXPECT_EQ(unknown.Error, "unknown option '--bogus'");
  EXPECT_EQ(ParseViewerArguments({"-bogus=1"}).Error, "unknown option '-bogus'");
  EXPECT_TRUE(unknown.Help);
  EXPECT_TRUE(ParseViewerArguments({"-h"}).Help);
  EXPECT_TRUE(ParseViewerArguments({"--version"}).Version);
  EXPECT_EQ(ParseViewerArguments({"srv-日本"}).Error,
            "server-address: character \"日\" U+65E5 is outside Windows-1252");
  EXPECT_EQ(ParseViewerArguments({"10.0.0.5:abc"}).Error,
            "server-address: the port must be a number from 1 to 65535, not \"abc\"");
}

TEST(ViewerOptions, PrintOnceOptions) {
  const TViewerOptions once = ParseViewerArguments(
      {"--once", "--sessions", "--csv", "--count", "3", "--interval=0", "10.0.0.5"});
  EXPECT_EQ(once.Error, "");
  EXPECT_TRUE(once.Once && once.Sessions && once.Csv && !once.Json);
  EXPECT_EQ(once.Count, 3);
  EXPECT_EQ(once.IntervalSeconds, 0);
  EXPECT_EQ(once.Address, "10.0.0.5");
  const TViewerOptions plain = ParseViewerArguments({"--once"});
  EXPECT_EQ(plain.Count, 1);
  EXPECT_EQ(plain.IntervalSeconds, 1);
  EXPECT_EQ(ParseViewerArguments({"--once", "--count", "0"}).Error,
            "--count needs a whole number of at least 1");
  EXPECT_EQ(ParseViewerArguments({"--once", "--interval", "x"}).Error,
            "--interval needs a whole number of at least 0");
  EXPECT_EQ(ParseViewerArguments({"--once", "--json", "--csv"}).Error,
            "--json and --csv exclude each other");
  EXPECT_EQ(ParseViewerArguments({"--json"}).Error,
            "--sessions, --json and --csv need --once or --history");
  EXPECT_EQ(ParseViewerArguments({"--count", "2"}).Error,
            "--count, --interval and --older-than need --once");
  EXPECT_EQ(ParseViewerArguments({"--once", "--older-than", "30"}).OlderThanSeconds, 30);
  EXPECT_EQ(ParseViewerArguments({"--once", "--sessions", "--older-than", "30"}).Error,
            "--older-than looks at tasks, not at --sessions");
  EXPECT_TRUE(ParseViewerArguments({"--serve"}).Serve);
  EXPECT_EQ(ParseViewerArguments({"--serve", "--once"}).Error,
            "--serve and --once exclude each other");
  EXPECT_EQ(ParseViewerArguments({"--serve", "--record", "r.db"}).RecordFile, "r.db");
  EXPECT_EQ(ParseViewerArguments({"--record", "r.db"}).RecordFile, "r.db");
  EXPECT_EQ(ParseViewerArguments({"--once", "--record", "r.db"}).Error,
            "--record goes without --once");
  // A bare --record names the default file; an address after it would be its file.
  EXPECT_EQ(ParseViewerArguments({"--record"}).RecordFile, DefaultRecordFile());
  EXPECT_EQ(ParseViewerArguments({"--record", "--serve"}).RecordFile, DefaultRecordFile());
  EXPECT_EQ(ParseViewerArguments({"10.0.0.5", "--record="}).RecordFile, DefaultRecordFile());
}

TEST(ViewerOptions, HistoryQuestions) {
  const TViewerOptions at = ParseViewerArguments(
      {"--history", "r.db", "--at", "2026-12-10 03:00", "--sessions", "--host", "B", "--json"});
  EXPECT_EQ(at.Error, "");
  EXPECT_EQ(at.HistoryFile, "r.db");
  ASSERT_TRUE(at.At.has_value());
  EXPECT_EQ(DateTimeToIsoText(*at.At), "2026-12-10 03:00:00");
  EXPECT_TRUE(at.Sessions && at.Json);
  EXPECT_EQ(at.Host, "B");
  const TViewerOptions longest =
      ParseViewerArguments({"--history", "r.db", "--longest", "20", "--from", "2026-12-09"});
  EXPECT_EQ(longest.Error, "");
  EXPECT_EQ(longest.Longest, 20);
  EXPECT_TRUE(longest.From.has_value() && !longest.To.has_value());
  EXPECT_TRUE(ParseViewerArguments({"--history", "r.db", "--events"}).Events);
  const std::pair<std::vector<QString>, std::string> faults[] = {
      {{"--history", "r.db"}, "--history needs one of --at TIME, --longest N and --events"},
      {{"--history", "r.db", "--events", "--longest", "3"},
       "--history needs one of --at TIME, --longest N and --events"},
      {{"--events"}, "--at, --longest, --events, --from, --to and --host need --history"},
      {{"--history", "r.db", "--at", "25:00"},
       "--at: '25:00' is no instant (yyyy-mm-dd [hh:nn[:ss]], hh:nn[:ss], -30m, now)"},
      {{"--history", "r.db", "--longest", "0"}, "--longest needs a whole number of at least 1"},
      {{"--history", "r.db", "--at", "now", "--from", "-1h"},
       "--from and --to go with --longest or --events, not with --at"},
      {{"--history", "r.db", "--events", "--sessions"}, "--sessions goes with --at"},
      {{"--history", "r.db", "--events", "--from", "now", "--to", "-1h"},
       "--from is later than --to"},
      {{"--history", "r.db", "--events", "--once"},
       "--history reads a record file; it goes without --once, --serve and --record"},
      {{"--history", "r.db", "--events", "10.0.0.5"},
       "--history reads a record file, not a server: no server-address"},
  };
  for (const auto& [arguments, error] : faults)
    EXPECT_EQ(ParseViewerArguments(QStringList(arguments.begin(), arguments.end())).Error, error)
        << error;
}

// The viewer program itself; none of these runs opens a window.
class ViewerProgram : public ::testing::Test {
 protected:
  std::string Failure(const std::string& arguments) const {
    // Qt warns about a missing runtime folder; the private temporary one will do.
    const testing::TProgramRun run = testing::RunProgram(
        FFolder.Path(), "QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" + FFolder.Path() + " " +
                            QUV_TASKS_BINARY + " " + arguments);
    return std::to_string(run.Status) + " " + run.Err;
  }

  TTempFolder FFolder;
};

TEST_F(ViewerProgram, WrongOptionsAndUnreadableSettingsEndItWithTheirReason) {
  EXPECT_EQ(Failure("--bogus"), "2 quvtasks: unknown option '--bogus'\nTry 'quvtasks --help'.\n");
  EXPECT_EQ(Failure("--settings"),
            "2 quvtasks: Missing value after '--settings'\nTry 'quvtasks --help'.\n");
  EXPECT_EQ(Failure("--settings " + FFolder.Path()),
            "2 quvtasks: " + FFolder.Path() + ": Is a directory\n");
  EXPECT_EQ(Failure("--settings /nonexistent/viewer.ini"),
            "2 quvtasks: /nonexistent/viewer.ini: No such file or directory\n");
  const std::string empty = FFolder.WriteFile("empty.ini", "");
  EXPECT_EQ(Failure("--settings " + empty), "2 quvtasks: " + empty + ": the file is empty\n");
}

TEST_F(ViewerProgram, HelpAndVersionNeedNoDisplayAndAFullStandardOutputFails) {
  const testing::TProgramRun help =
      testing::RunProgram(FFolder.Path(), "DISPLAY= " + std::string(QUV_TASKS_BINARY) + " --help");
  EXPECT_EQ(help.Status, 0);
  EXPECT_NE(help.Out.find("--settings FILE  read FILE instead"), std::string::npos);
  EXPECT_EQ(testing::RunProgram(FFolder.Path(), std::string(QUV_TASKS_BINARY) + " --version")
                .Out.rfind("quvtasks ", 0),
            0u);
  EXPECT_EQ(Failure("--help > /dev/full"),
            "1 quvtasks: cannot write to standard output: No space left on device\n");
  EXPECT_EQ(Failure("--help >&-"),
            "1 quvtasks: cannot write to standard output: Bad file descriptor\n");
}

// Without a display the window cannot open: one line says why, and none of
// Qt's own complaints (platform plugins, the runtime folder) reaches the user.
TEST_F(ViewerProgram, WithoutADisplayOneLineSaysWhy) {
  testing::TServerProcess server;
  const testing::TProgramRun run = testing::RunProgram(
      FFolder.Path(), "env -u XDG_RUNTIME_DIR -u QT_QPA_PLATFORM DISPLAY= WAYLAND_DISPLAY= " +
                          std::string(QUV_TASKS_BINARY) + " " + server.Address());
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Err,
            "quvtasks: cannot open a display; set DISPLAY (or run under xvfb-run), or print "
            "with --once\n");
}

// A closed standard output is no place for the print: no file or shared
// memory the program opens may take its number, and the print fails.
TEST_F(ViewerProgram, PrintingOnceToAClosedStandardOutputFails) {
  testing::TServerProcess server;
  EXPECT_EQ(Failure("--once --json " + server.Address() + " >&-"),
            "1 quvtasks: cannot write to standard output\n");
}

// Printing once needs neither a display nor a Qt platform plugin.
TEST_F(ViewerProgram, OncePrintsJsonWithoutADisplay) {
  testing::TServerProcess a({"--demo", "--seed", "3", "--demo-scale", "5"});
  testing::TServerProcess c({"--demo", "--seed", "4", "--demo-scale", "5"});
  std::string dead;
  {
    testing::TServerProcess gone;
    dead = gone.Address();
  }
  const std::string settings = FFolder.WriteFile(
      "v.ini", "[Hosts]\nA=" + a.Address() + "\nB=" + dead + "\nC=" + c.Address() + "\n");
  const std::string command =
      "DISPLAY= QT_QPA_PLATFORM=none QT_QPA_PLATFORM_PLUGIN_PATH=/nonexistent " +
      std::string(QUV_TASKS_BINARY) + " --once --json --settings " + settings;
  // The demo's clients start their calls a little after the servers: the
  // print is repeated until both servers show tasks.
  nlohmann::json rows;
  std::set<std::string> hosts;
  for (int attempt = 0; attempt < 50 && hosts.size() < 3; ++attempt) {
    const testing::TProgramRun run = testing::RunProgram(FFolder.Path(), command);
    ASSERT_EQ(run.Status, 1) << run.Err;
    EXPECT_EQ(run.Err.rfind("quvtasks: B (" + dead + "): sem conexão: ", 0), 0u) << run.Err;
    rows = nlohmann::json::parse(run.Out);  // throws unless valid
    hosts.clear();
    for (const auto& row : rows) hosts.insert(row.at("host").get<std::string>());
  }
  ASSERT_EQ(hosts, (std::set<std::string>{"A", "B", "C"}));
  // Live tasks first, longest first; the silent host last, with its state.
  const auto& last = rows.back();
  EXPECT_EQ(last.at("host"), "B");
  EXPECT_EQ(last.at("connected"), false);
  EXPECT_EQ(last.at("state"), "sem conexão");
  EXPECT_TRUE(last.at("ellapsedtime").is_null());
  EXPECT_EQ(last.at("requestdesc"), "Sem conexão com o servidor");
  for (std::size_t i = 0; i + 1 < rows.size(); ++i) {
    EXPECT_EQ(rows[i].at("connected"), true);
    EXPECT_NE(rows[i].at("requestdesc"), "quvsystem.tasks.list");
    if (i > 0) {
      EXPECT_GE(rows[i - 1].at("elapsedseconds").get<double>(),
                rows[i].at("elapsedseconds").get<double>());
    }
  }
}

// --serve refreshes without a display, logs each server's state as it
// changes, records it, and ends cleanly on SIGTERM.
TEST_F(ViewerProgram, ServeWatchesWithoutADisplayUntilSigterm) {
  testing::TServerProcess server;
  const std::string settings = FFolder.WriteFile(
      "serve.ini", "[Hosts]\nA=" + server.Address() + "\nB=127.0.0.1:1\n");
  const std::string log = FFolder.Path() + "/serve.log";
  const std::string record = FFolder.Path() + "/record.db";
  // The shell waits for the first state lines (the test's time-out bounds it),
  // then asks the viewer to stop and gives its status.
  const testing::TProgramRun run = testing::RunProgram(
      FFolder.Path(), "DISPLAY= " + std::string(QUV_TASKS_BINARY) + " --serve --record " + record +
                          " --settings " + settings + " 2>" + log + " & pid=$!; until grep -q 'B (' " + log +
                          "; do sleep 0.1; done; kill -TERM $pid; wait $pid; echo $?; cat " + log);
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out.rfind("0\nquvtasks: watching 2 servers; SIGTERM or SIGINT stops\n", 0), 0u)
      << run.Out;
  EXPECT_NE(run.Out.find("quvtasks: A (" + server.Address() + "): respondendo\n"),
            std::string::npos)
      << run.Out;
  EXPECT_NE(run.Out.find("quvtasks: B (127.0.0.1:1): sem conexão: "), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("quvtasks: stopped after "), std::string::npos) << run.Out;
  // Both servers' first states are in the record, as --history tells them.
  const testing::TProgramRun events = testing::RunProgram(
      FFolder.Path(), std::string(QUV_TASKS_BINARY) + " --history " + record + " --events --csv");
  ASSERT_EQ(events.Status, 0) << events.Err;
  EXPECT_EQ(events.Out.rfind("Quando,Host,Evento,Detalhe\r\n", 0), 0u) << events.Out;
  EXPECT_NE(events.Out.find(",A=" + server.Address() + ",respondendo,\r\n"), std::string::npos)
      << events.Out;
  EXPECT_NE(events.Out.find(",B=127.0.0.1:1,sem conexão,"), std::string::npos) << events.Out;
  EXPECT_EQ(testing::CountOf(events.Out, "\r\n"), 3u) << events.Out;
}

// A recording viewer killed outright loses at most the refresh in flight:
// the file stays sound and keeps what was written before.
TEST_F(ViewerProgram, AKilledRecorderLeavesASoundFile) {
  testing::TServerProcess server({"--demo", "--seed", "5", "--demo-scale", "5"});
  const std::string settings =
      FFolder.WriteFile("kill.ini", "[Hosts]\nA=" + server.Address() + "\n");
  const std::string record = FFolder.Path() + "/killed.db";
  const std::string count = "sqlite3 " + record + " 'SELECT count(*) FROM task_spans' 2>/dev/null";
  // Killed while it goes on writing, once tasks are in the record.
  const testing::TProgramRun run = testing::RunProgram(
      FFolder.Path(), "DISPLAY= " + std::string(QUV_TASKS_BINARY) + " --serve --record " + record +
                          " --settings " + settings + " 2>/dev/null & pid=$!; until [ \"$(" +
                          count + ")\" -gt 0 ] 2>/dev/null; do sleep 0.1; done; sleep 1; " +
                          "kill -9 $pid; wait $pid; sqlite3 " + record +
                          " 'PRAGMA integrity_check; SELECT count(*) > 0 FROM task_spans'");
  EXPECT_EQ(run.Out, "ok\n1\n") << run.Err;
  // What it recorded reads back: the longest tasks, as JSON.
  const testing::TProgramRun longest = testing::RunProgram(
      FFolder.Path(), std::string(QUV_TASKS_BINARY) + " --history " + record + " --longest 3 --json");
  ASSERT_EQ(longest.Status, 0) << longest.Err;
  const nlohmann::json tasks = nlohmann::json::parse(longest.Out);
  ASSERT_TRUE(tasks.is_array() && !tasks.empty()) << longest.Out;
  EXPECT_EQ(tasks[0].at("host"), "A");
  EXPECT_GE(tasks[0].at("seconds").get<double>(), tasks.back().at("seconds").get<double>());
}

// --count repeats the whole print, titles included; --older-than checks.
TEST_F(ViewerProgram, OnceRepeatsThePrintCountTimes) {
  testing::TServerProcess server;
  const std::string settings =
      FFolder.WriteFile("one.ini", "[Hosts]\nA=" + server.Address() + "\n");
  const testing::TProgramRun run = testing::RunProgram(
      FFolder.Path(), "DISPLAY= " + std::string(QUV_TASKS_BINARY) +
                          " --once --csv --count 3 --interval 0 --settings " + settings);
  ASSERT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err, "");
  const std::string titles =
      "Canc,Id,IP Addr,Host,Commando,Tempo,Sistema,Usuário,Segundos,Estado,Causa\r\n";
  EXPECT_EQ(testing::CountOf(run.Out, titles), 3u) << run.Out;
  // --older-than: a server without tasks passes any threshold.
  const testing::TProgramRun checked = testing::RunProgram(
      FFolder.Path(), "DISPLAY= " + std::string(QUV_TASKS_BINARY) +
                          " --once --older-than 0 --settings " + settings);
  EXPECT_EQ(checked.Status, 0) << checked.Err;
}

}  // namespace
}  // namespace quv
