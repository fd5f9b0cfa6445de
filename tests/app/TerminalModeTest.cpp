// quvtasks --tui as an operator uses it: the program runs in a terminal of
// a private tmux server against application servers started on loopback
// (and a peer that never answers); the tests type keys and read the screen.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <sstream>

#include "tests/kit/ChildProcess.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/StuckPeer.h"
#include "tests/kit/TempFolder.h"
#include "tests/kit/TmuxSession.h"

namespace quv {
namespace {

using testing::TChildProcess;
using testing::TServerProcess;
using testing::TTmuxSession;

// What the terminal shows when the program has given it back: the marker
// with the exit status, then whether the line discipline reads lines and
// echoes again.
constexpr const char* kRestored = "icanon echo";

class TerminalMode : public ::testing::Test {
 protected:
  // Settings naming `hosts` as label=address lines.
  std::string Settings(const std::vector<std::pair<std::string, std::string>>& hosts) {
    std::string text = "[Hosts]\n";
    for (const auto& [label, address] : hosts) text += label + "=" + address + "\n";
    return FFolder.WriteFile("quvtasks.ini", text);
  }
  // The viewer in a terminal of 120 x 40 with `environment` (the locale, the
  // terminal type) and the cancel log in the test's folder; after it ends,
  // "FIM-<status>" and the terminal's modes.
  std::unique_ptr<TTmuxSession> Start(const std::string& settings,
                                      const std::string& environment = "LC_ALL=C.UTF-8") {
    const std::string script =
        "export " + environment + " XDG_DATA_HOME=" + FFolder.Path() + "/data\n" +
        // Ctrl+C reaches the viewer; the script goes on to say how it ended.
        "trap true INT\n" + "sh -c 'echo $$ > " + PidFile() + "; exec " + QUV_TASKS_BINARY +
        " --tui --settings " + settings + "'\n" +
        "echo \"FIM-$?\"\n"
        "stty -a | tr ' ;' '\\n\\n' | grep -E '^-?(icanon|echo)$' | tr '\\n' ' '; echo\n"
        "sleep 600\n";
    return std::make_unique<TTmuxSession>(FFolder.Path(), script);
  }
  std::string PidFile() const { return FFolder.Path() + "/viewer.pid"; }
  pid_t ViewerPid() const { return static_cast<pid_t>(std::stoi(testing::FileBytes(PidFile()))); }
  std::string AuditLog() const {
    return testing::FileBytes(FFolder.Path() + "/data/quvtasks/cancelamentos.log");
  }
  // A minute-long call of the test interface on `server`.
  std::unique_ptr<TChildProcess> Sleep(const TServerProcess& server) {
    return std::make_unique<TChildProcess>(
        std::vector<std::string>{QUV_CALL_BINARY, "--intf", QUV_TEST_INTERFACE, "--host",
                                 server.Address(), "--timeout", "120000", "quvtest.test.sleep",
                                 "ms=60000"},
        FFolder.Path() + "/call" + std::to_string(++FCalls) + ".log");
  }

  TTempFolder FFolder;
  int FCalls = 0;
};

// The rows of `screen` (after their mark or blank) that list a task of the test interface.
std::vector<std::string> SleepRows(const std::string& screen) {
  std::vector<std::string> rows;
  std::istringstream lines(screen);
  for (std::string line; std::getline(lines, line);)
    if ((line.starts_with("  ") || line.starts_with("* ")) &&
        line.find("quvtest.test.sleep") != std::string::npos)
      rows.push_back(line.substr(2));
  return rows;
}

// The date and time of the last reply in the server pane's first line;
// empty without one.
std::string LastReply(const std::string& screen) {
  const std::regex lastReply(R"(respondendo +\d+ ms +(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d))");
  std::smatch match;
  return std::regex_search(screen, match, lastReply) ? match[1].str() : std::string();
}

// The request ids of the rows, in screen order (the second column).
std::vector<long long> Ids(const std::vector<std::string>& rows) {
  std::vector<long long> ids;
  for (const std::string& row : rows) {
    std::istringstream cells(row);
    std::string cancelled, id;
    cells >> cancelled >> id;
    ids.push_back(std::stoll(id));
  }
  return ids;
}

TEST_F(TerminalMode, ListsFilterSortPauseAndQuitGiveTheTerminalBack) {
  const TServerProcess a({"--demo", "--seed", "3"});
  const TServerProcess b;
  std::vector<std::unique_ptr<TChildProcess>> calls;
  for (int i = 0; i < 3; ++i) calls.push_back(Sleep(b));
  const auto tui = Start(Settings({{"A", a.Address()}, {"B", b.Address()}}));
  std::string screen = tui->WaitFor({"2 de 2 servidores respondendo", "quvsystem.sessions.watch"});
  EXPECT_NE(screen.find("quvsystem.sessions.watch"), std::string::npos) << screen;
  EXPECT_EQ(tui->Format("#{alternate_on}"), "1\n");

  // Only the test interface's calls of B pass this filter.
  tui->Type("/host:B cmd:sleep");
  tui->Keys({"Enter"});
  screen = tui->WaitUntil([](const std::string& s) {
    return s.find("filtro: host:B cmd:sleep (3 de ") != std::string::npos &&
           SleepRows(s).size() == 3;
  });
  EXPECT_EQ(SleepRows(screen).size(), 3u) << screen;
  EXPECT_EQ(screen.find("quvsystem.sessions.watch"), std::string::npos) << screen;

  // Sorted by Id up, then down.
  tui->Keys({"s", ">"});
  screen = tui->WaitFor({"Id ^"});
  std::vector<long long> ids = Ids(SleepRows(screen));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << screen;
  tui->Keys({"i"});
  screen = tui->WaitFor({"Id v"});
  ids = Ids(SleepRows(screen));
  EXPECT_TRUE(std::is_sorted(ids.rbegin(), ids.rend())) << screen;

  tui->Keys({"Space"});
  EXPECT_NE(tui->WaitFor({"pausado"}).find("pausado"), std::string::npos);
  tui->Keys({"Space"});
  EXPECT_NE(tui->WaitFor({"próxima atualização"}).find("próxima atualização"), std::string::npos);

  tui->Keys({"q"});
  screen = tui->WaitFor({"FIM-0", kRestored});
  EXPECT_NE(screen.find(kRestored), std::string::npos) << screen;
  EXPECT_EQ(screen.find("servidores respondendo"), std::string::npos) << screen;
  EXPECT_EQ(tui->Format("#{alternate_on} #{cursor_flag}"), "0 1\n");
}

TEST_F(TerminalMode, CancelsOnlyTheMarkedRowsAfterNamingThem) {
  const TServerProcess server;
  const auto first = Sleep(server);
  const auto second = Sleep(server);
  const auto third = Sleep(server);
  const auto tui = Start(Settings({{"A", server.Address()}}));
  tui->WaitUntil([](const std::string& screen) { return SleepRows(screen).size() == 3; });
  // Sorted by Id so that the rows stay where they are.
  tui->Keys({"s", "s"});
  std::string screen = tui->WaitFor({"Id ^"});
  const std::vector<long long> ids = Ids(SleepRows(screen));
  ASSERT_EQ(ids.size(), 3u) << screen;

  // Nothing chosen yet: nothing is cancelled.
  tui->Keys({"k"});
  EXPECT_NE(tui->WaitFor({"Nada a cancelar"}).find("Nada a cancelar"), std::string::npos);

  // The first and the third row marked; the cursor ends on the second.
  tui->Keys({"Down", "m", "Down", "m", "Up", "DC"});
  screen = tui->WaitFor({"Cancelar estes 2 itens?", "s: sim"});
  EXPECT_NE(screen.find("- a tarefa " + std::to_string(ids[0]) + " (quvtest.test.sleep"),
            std::string::npos)
      << screen;
  EXPECT_NE(screen.find("- a tarefa " + std::to_string(ids[2]) + " (quvtest.test.sleep"),
            std::string::npos)
      << screen;
  EXPECT_EQ(screen.find(std::to_string(ids[1])), std::string::npos) << screen;
  tui->Keys({"s"});
  screen = tui->WaitFor({"Cancelamento aceito: a tarefa"});
  EXPECT_NE(screen.find("Cancelamento aceito: a tarefa"), std::string::npos) << screen;
  testing::WaitUntilTrue([this] { return testing::CountOf(AuditLog(), "\tok") == 2; });
  const std::string log = AuditLog();
  EXPECT_NE(log.find("\ttarefa\t" + std::to_string(ids[0]) + "\tok"), std::string::npos) << log;
  EXPECT_NE(log.find("\ttarefa\t" + std::to_string(ids[2]) + "\tok"), std::string::npos) << log;
  EXPECT_EQ(log.find(std::to_string(ids[1])), std::string::npos) << log;
  // Of the three calls, the one not chosen goes on, listed.
  screen = tui->WaitUntil([](const std::string& s) { return SleepRows(s).size() == 1; });
  EXPECT_EQ(Ids(SleepRows(screen)), std::vector<long long>{ids[1]}) << screen;
  EXPECT_EQ(first->Running() + second->Running() + third->Running(), 1);
  tui->Keys({"q"});
  tui->WaitFor({"FIM-0"});
}

TEST_F(TerminalMode, KeysAreAnsweredBesideAPeerThatNeverAnswersAndSigtermGivesTheTerminalBack) {
  const TServerProcess server({"--demo", "--seed", "5"});
  const testing::TStuckPeer stuck;
  const auto tui = Start(Settings({{"A", server.Address()}, {"S", stuck.Address()}}));
  std::string screen = tui->WaitFor({"1 de 2 servidores respondendo; 1 sem resposta"});
  EXPECT_NE(screen.find("1 sem resposta"), std::string::npos) << screen;
  tui->Keys({"?"});
  EXPECT_NE(tui->WaitFor({"Teclas"}).find("Teclas"), std::string::npos);
  tui->Keys({"Escape", "Tab"});
  screen = tui->WaitFor({"[Usuários]", "sessões)"});
  EXPECT_NE(screen.find("sessões)"), std::string::npos) << screen;
  EXPECT_GE(stuck.StuckCalls(), 1);

  ASSERT_EQ(::kill(ViewerPid(), SIGTERM), 0);
  screen = tui->WaitFor({"FIM-0", kRestored});
  EXPECT_NE(screen.find(kRestored), std::string::npos) << screen;
  EXPECT_EQ(tui->Format("#{alternate_on} #{cursor_flag}"), "0 1\n");
}

TEST_F(TerminalMode, AResizeRedrawsAtOnceAndTooSmallATerminalSaysSo) {
  const TServerProcess server({"--demo", "--seed", "7"});
  const auto tui = Start(Settings({{"A", server.Address()}}));
  tui->WaitFor({"1 de 1 servidores respondendo"});
  tui->Resize(50, 10);
  std::string screen = tui->WaitFor({"Terminal pequeno demais: 50x10"});
  EXPECT_NE(screen.find("(mínimo 60x12)"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("servidores respondendo"), std::string::npos) << screen;
  tui->Resize(90, 20);
  screen = tui->WaitFor({"1 de 1 servidores respondendo", "Commando"});
  EXPECT_EQ(screen.find("pequeno demais"), std::string::npos) << screen;
  std::istringstream lines(screen);
  std::string title;
  std::getline(lines, title);
  EXPECT_LE(title.size(), 90u + 8u) << title;  // one row of 90 cells (accents take 2 bytes)
  // Ctrl+C stops it as SIGINT does, and the terminal is given back.
  tui->Keys({"C-c"});
  screen = tui->WaitFor({"FIM-0", kRestored});
  EXPECT_NE(screen.find(kRestored), std::string::npos) << screen;
  EXPECT_EQ(tui->Format("#{alternate_on} #{cursor_flag}"), "0 1\n");
}

TEST_F(TerminalMode, ServerTextsAreShownEscapedNeverObeyed) {
  const TServerProcess server;
  int status = 0;
  const std::string hostile = "\x1b]2;pwn\x07\x1b[31mmal\xc3\xa9";
  testing::OutputOf(std::string(QUV_CALL_BINARY) + " --host " + server.Address() +
                        " quvsystem.sessions.open 'username=" + hostile + "' licenceinfo=AB",
                    status);
  ASSERT_EQ(status, 0);
  // UTF-8 with colours, and ASCII on a terminal without colours.
  for (const char* environment : {"LC_ALL=C.UTF-8", "LC_ALL=C TERM=vt100"}) {
    const bool ascii = std::string(environment) != "LC_ALL=C.UTF-8";
    const auto tui = Start(Settings({{"A", server.Address()}}), environment);
    tui->WaitFor({"1 de 1 servidores respondendo"});
    // The whole name is in the session's details.
    tui->Keys({"Tab"});
    tui->WaitFor({"\\x1b]2;pwn"});
    tui->Keys({"Down", "d"});
    const std::string shown =
        std::string("username: \\x1b]2;pwn\\x07\\x1b[31mmal") + (ascii ? "?" : "é");
    const std::string screen = tui->WaitFor({shown});
    EXPECT_NE(screen.find(shown), std::string::npos) << environment << "\n" << screen;
    EXPECT_EQ(tui->Format("#{pane_title}").find("pwn"), std::string::npos);
    tui->Keys({"q"});
    tui->WaitFor({"FIM-0"});
  }
}

TEST_F(TerminalMode, HistoryShowsTheRecordAtAnInstantReadOnly) {
  const TServerProcess server;
  const auto call = Sleep(server);
  const std::string settings =
      FFolder.WriteFile("quvtasks.ini", "[MAIN]\nRECORDFILE=" + FFolder.Path() +
                                            "/gravacao.db\n[Hosts]\nA=" + server.Address() + "\n");
  const auto tui = Start(settings);
  std::string screen =
      tui->WaitUntil([](const std::string& s) { return SleepRows(s).size() == 1; });
  const std::vector<long long> live = Ids(SleepRows(screen));
  ASSERT_EQ(live.size(), 1u) << screen;
  // The instant of the server's last reply, as the server pane shows it, is
  // one the record holds once that refresh is written (on its own thread)
  // and the server's state before it: asked again, with the instant of a
  // later reply, until the history lists the task.
  std::string instant;
  testing::WaitUntilTrue([&] {
    tui->Keys({"Escape"});
    instant = LastReply(tui->WaitUntil([](const std::string& s) { return !LastReply(s).empty(); }));
    tui->Keys({"h"});
    tui->Type(instant);
    tui->Keys({"Enter"});
    screen = tui->WaitFor({"Histórico em"});
    return !SleepRows(screen).empty();
  });
  EXPECT_NE(screen.find("Histórico em " + instant), std::string::npos) << screen;
  EXPECT_EQ(Ids(SleepRows(screen)), live) << screen;
  tui->Keys({"Down", "m", "k"});
  screen = tui->WaitFor({"Histórico: somente leitura"});
  EXPECT_EQ(screen.find("Cancelar "), std::string::npos) << screen;
  tui->Keys({"Escape"});
  screen = tui->WaitUntil(
      [](const std::string& s) { return s.find("Histórico em") == std::string::npos; });
  EXPECT_EQ(Ids(SleepRows(screen)), live) << screen;
  tui->Keys({"q"});
  tui->WaitFor({"FIM-0"});
}

TEST_F(TerminalMode, WithoutATerminalOrWithAnotherModeOneLineSaysWhy) {
  const testing::TProgramRun unknown =
      testing::RunProgram(FFolder.Path(), "TERM=no-such-terminal " + std::string(QUV_TASKS_BINARY) +
                                              " --tui 127.0.0.1:1 </dev/null");
  EXPECT_EQ(unknown.Status, 1);
  EXPECT_EQ(unknown.Err, "quvtasks: cannot drive the terminal (TERM=no-such-terminal)\n");
  for (const char* other : {"--once", "--serve", "--history r.db --events"}) {
    const testing::TProgramRun run = testing::RunProgram(
        FFolder.Path(), std::string(QUV_TASKS_BINARY) + " --tui " + other + " </dev/null");
    EXPECT_EQ(run.Status, 2) << other;
    EXPECT_NE(run.Err.find("--tui shows the servers on the terminal; it goes without --once, "
                           "--serve and --history"),
              std::string::npos)
        << other << ": " << run.Err;
  }
}

}  // namespace
}  // namespace quv
