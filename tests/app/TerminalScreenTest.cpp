// The terminal mode's screen without a terminal: which rows a cancel acts
// on, how marks and the cursor follow rows across refreshes and filters,
// the confirmation, history's read-only lists, the drawing of lines and the
// escaping of server texts.

#include <gtest/gtest.h>

#include <memory>

#include "app/TerminalScreen.h"
#include "app/TerminalText.h"
#include "platform/Cp1252.h"

namespace quv {
namespace {

const std::vector<std::string> kHosts = {"A=10.0.0.1", "B=10.0.0.2"};
constexpr std::string_view kInvalid = "(expressão inválida)"_cp;
constexpr std::string_view kNoTask = "não há tarefa a marcar"_cp;
constexpr std::string_view kTooSmall = "Terminal pequeno demais: 59x30 (mínimo 60x12)"_cp;
constexpr std::string_view kHistory = "Histórico em 2026-12-10 03:00:00"_cp;

TTaskRow Task(int32_t id, const std::string& user, std::size_t host = 0, int32_t elapsedMs = 1000) {
  TTaskRow row;
  row.RequestId = id;
  row.RequestDesc = "app.run";
  row.UserName = user;
  row.ElapsedTime = elapsedMs;
  row.Host = host;
  row.HostLine = kHosts[host];
  return row;
}

std::shared_ptr<const std::vector<TTaskRow>> Rows(std::vector<TTaskRow> rows) {
  return std::make_shared<const std::vector<TTaskRow>>(std::move(rows));
}

void Press(TTerminalScreen& screen, const std::vector<int>& keys) {
  for (const int key : keys) screen.OnKey(key);
}

void TypeText(TTerminalScreen& screen, const std::string& text) {
  for (const char c : text) screen.OnKey(static_cast<unsigned char>(c));
}

std::string Text(const std::vector<TScreenLine>& lines) {
  std::string text;
  for (const TScreenLine& line : lines) text += line.Text + "\n";
  return text;
}

// The request ids a confirmed cancel would act on.
std::vector<std::string> Confirm(TTerminalScreen& screen) {
  screen.OnKey('k');
  if (screen.Mode() != TTerminalScreen::TMode::Confirm) return {};
  EXPECT_EQ(screen.OnKey('s'), TScreenCommand::Cancel);
  std::vector<std::string> ids;
  for (const TCancelTarget& target : screen.TakeConfirmedTargets())
    ids.push_back(target.ParamValue);
  return ids;
}

TEST(TerminalScreen, CancelsActOnlyOnRowsTheOperatorChose) {
  TTerminalScreen screen(kHosts, 60, 300, false);
  screen.SetTasks(Rows({Task(1, "ana"), Task(2, "bia"), Task(3, "caio")}));
  // No row chosen yet: nothing to cancel.
  EXPECT_TRUE(Confirm(screen).empty());
  screen.Render(120, 40);
  EXPECT_NE(Text(screen.Render(120, 40)).find("Nada a cancelar"), std::string::npos);

  // The cursor on the first row, which a refresh then removes: the cursor
  // does not fall onto its neighbour.
  Press(screen, {kKeyDown});
  screen.SetTasks(Rows({Task(2, "bia"), Task(3, "caio")}));
  EXPECT_TRUE(Confirm(screen).empty());

  // Marks follow their rows when the order changes, and leave a row that is gone.
  Press(screen, {kKeyDown, 'm', 'm'});  // marks 2 and 3
  screen.SetTasks(Rows({Task(4, "davi"), Task(3, "caio"), Task(5, "eva"), Task(2, "bia")}));
  EXPECT_EQ(Confirm(screen), (std::vector<std::string>{"2", "3"}));
  Press(screen, {kKeyHome, 'm', 'm'});  // marks 4 and 3 (3 is being cancelled)
  screen.SetTasks(Rows({Task(3, "caio"), Task(5, "eva")}));
  EXPECT_TRUE(Confirm(screen).empty()) << "4 is gone and 3 is being cancelled already";
}

TEST(TerminalScreen, AFilterDropsTheMarksOfTheRowsItHides) {
  TTerminalScreen screen(kHosts, 60, 300, false);
  screen.SetTasks(Rows({Task(1, "ana"), Task(2, "bia", 1), Task(3, "ana", 1)}));
  Press(screen, {kKeyDown, 'm', 'm', 'm'});
  Press(screen, {'/'});
  TypeText(screen, "host:B");
  Press(screen, {kKeyEnter});
  EXPECT_NE(Text(screen.Render(120, 40)).find("filtro: host:B (2 de 3)"), std::string::npos);
  EXPECT_EQ(Confirm(screen), (std::vector<std::string>{"2", "3"}));
  // A pattern that does not compile keeps every row and says so.
  Press(screen, {'/', kKeyBackspace, kKeyBackspace, kKeyBackspace, kKeyBackspace, kKeyBackspace,
                 kKeyBackspace});
  TypeText(screen, "/(/");
  EXPECT_NE(Text(screen.Render(120, 40)).find(kInvalid), std::string::npos);
  // Esc while typing clears the filter.
  Press(screen, {kKeyEscape});
  EXPECT_EQ(screen.FilterText(), "");
}

TEST(TerminalScreen, TheConfirmationNamesEveryTargetAndRowsGoneMeanwhileAreNotSent) {
  TTerminalScreen screen(kHosts, 60, 300, false);
  std::vector<TTaskRow> rows;
  for (int32_t id = 1; id <= 40; ++id) rows.push_back(Task(id, "u" + std::to_string(id)));
  screen.SetTasks(Rows(rows));
  Press(screen, {kKeyDown});
  for (int i = 0; i < 40; ++i) Press(screen, {'m'});
  Press(screen, {kKeyDelete});
  ASSERT_EQ(screen.Mode(), TTerminalScreen::TMode::Confirm);
  // 40 targets do not fit in 20 lines: the rest is said and scrolls into view.
  std::string text = Text(screen.Render(100, 20));
  EXPECT_NE(text.find("Cancelar estes 40 itens?"), std::string::npos);
  EXPECT_NE(text.find("abaixo: setas)"), std::string::npos) << text;
  Press(screen, {kKeyPageDown, kKeyPageDown, kKeyPageDown});
  text = Text(screen.Render(100, 20));
  EXPECT_NE(text.find("- a tarefa 40 (app.run, u40) em A (10.0.0.1)"), std::string::npos) << text;

  // Two rows end while the question is open.
  rows.erase(rows.begin(), rows.begin() + 2);
  screen.SetTasks(Rows(rows));
  EXPECT_EQ(screen.OnKey('s'), TScreenCommand::Cancel);
  const std::vector<TCancelTarget> sent = screen.TakeConfirmedTargets();
  EXPECT_EQ(sent.size(), 38u);
  text = Text(screen.Render(100, 20));
  EXPECT_NE(text.find("terminou: a tarefa 1 (app.run, u1)"), std::string::npos) << text;
  // What is being cancelled says so, and is offered no second time.
  EXPECT_NE(text.find("cancelando"), std::string::npos);
  EXPECT_TRUE(Confirm(screen).empty());
  screen.CancelEnded(sent.front());
  EXPECT_FALSE(screen.BeingCancelled(sent.front()));
  EXPECT_TRUE(screen.BeingCancelled(sent.back()));
}

TEST(TerminalScreen, AServerWithoutReplyIsNoTarget) {
  TTerminalScreen screen(kHosts, 60, 300, false);
  TTaskRow silent = NoConnectionRow(kHosts[1]);
  silent.Host = 1;
  screen.SetTasks(Rows({silent}));
  Press(screen, {kKeyDown, 'm'});
  EXPECT_NE(Text(screen.Render(120, 40)).find(kNoTask), std::string::npos);
  EXPECT_TRUE(Confirm(screen).empty());
}

TEST(TerminalScreen, SortChoosesShownColumnsAndKeepsTheCursorOnItsRow) {
  TTerminalScreen single({"10.0.0.1"}, 60, 300, false);
  single.SetTasks(Rows({Task(2, "bia"), Task(1, "caio"), Task(3, "ana")}));
  Press(single, {kKeyDown});            // on request 2
  Press(single, {'s', 's', 's', 's'});  // Canc, Id, IP Addr, then Commando: Host is hidden
  std::string text = Text(single.Render(120, 40));
  EXPECT_NE(text.find("Commando ^"), std::string::npos) << text;
  EXPECT_EQ(text.find("Host"), text.rfind("Host")) << "only the server pane names a host";
  Press(single, {'<', '<'});  // back to Id
  EXPECT_NE(Text(single.Render(120, 40)).find("Id ^"), std::string::npos);
  Press(single, {'i'});
  const std::vector<TScreenLine> lines = single.Render(120, 40);
  EXPECT_NE(lines[1].Text.find("Id v"), std::string::npos);
  EXPECT_NE(lines[2].Text.find(" 3 "), std::string::npos);
  EXPECT_TRUE(lines[3].Cursor) << "the cursor stays on request 2, now in the middle";
  EXPECT_NE(lines[3].Text.find(" 2 "), std::string::npos);
  Press(single, {'<', '<'});  // the rows' own order is before the first column
  EXPECT_EQ(Text(single.Render(120, 40)).find(" ^"), std::string::npos);
}

TEST(TerminalScreen, LinesFitTheScreenAndServerTextsAreEscaped) {
  TTerminalScreen screen(kHosts, 60, 300, false);
  TTaskRow hostile = Task(7,
                          "\x1b]2;x\x07\x1b[2J\x9b"
                          "31m",
                          0, 400000);
  hostile.RequestDesc = std::string("ab\x7f\x81\\", 5);
  screen.SetTasks(Rows({hostile, Task(8, "bia", 1, 90000)}));
  const std::vector<TScreenLine> lines = screen.Render(150, 30);
  ASSERT_EQ(lines.size(), 30u);
  for (const TScreenLine& line : lines) {
    EXPECT_EQ(line.Text.size(), 150u) << line.Text;
    for (const char c : line.Text) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << line.Text;
  }
  EXPECT_NE(lines[2].Text.find("ab\\x7f\\x81\\\\"), std::string::npos) << lines[2].Text;
  EXPECT_NE(lines[2].Text.find("\\x1b]2;x\\x07"), std::string::npos) << lines[2].Text;
  EXPECT_EQ(lines[2].Style, TLineStyle::Alert);
  EXPECT_EQ(lines[3].Style, TLineStyle::Warn);
  // Too small a terminal says so and draws nothing else.
  const std::vector<TScreenLine> small = screen.Render(59, 30);
  EXPECT_EQ(small[0].Text.find(kTooSmall), 0u);
  EXPECT_EQ(Text(small).find("app.run"), std::string::npos);
  // Unseen, no key acts: no question could be read before its answer.
  Press(screen, {kKeyDown, 'k', 's'});
  EXPECT_EQ(screen.Mode(), TTerminalScreen::TMode::Lists);
  EXPECT_EQ(screen.OnKey('q'), TScreenCommand::Quit);
  screen.Render(150, 30);
  Press(screen, {kKeyDown, 'k'});
  EXPECT_EQ(screen.Mode(), TTerminalScreen::TMode::Confirm);
}

TEST(TerminalScreen, HistoryIsReadOnlyAndEscapeGoesBackLive) {
  TTerminalScreen without(kHosts, 60, 300, false);
  without.OnKey('h');
  EXPECT_EQ(without.Mode(), TTerminalScreen::TMode::Lists);
  EXPECT_NE(Text(without.Render(120, 40)).find("--record FILE"), std::string::npos);

  TTerminalScreen screen(kHosts, 60, 300, true);
  screen.OnKey('h');
  ASSERT_EQ(screen.Mode(), TTerminalScreen::TMode::Instant);
  TypeText(screen, "-30m");
  EXPECT_EQ(screen.OnKey(kKeyEnter), TScreenCommand::History);
  EXPECT_EQ(screen.TakeInstantText(), "-30m");
  screen.EnterHistory(std::string(kHistory));
  screen.SetTasks(Rows({Task(1, "ana")}));
  Press(screen, {kKeyDown, 'm'});
  EXPECT_TRUE(Confirm(screen).empty());
  EXPECT_NE(Text(screen.Render(120, 40)).find("somente leitura"), std::string::npos);
  EXPECT_EQ(screen.OnKey(kKeyEscape), TScreenCommand::LeaveHistory);
}

TEST(TerminalText, CommandBytesAreWrittenAsText) {
  EXPECT_EQ(EscapedText(std::string("a\x1b[2J\tb\x7f\x81\x8d\x8f\x90\x9d\\", 14)),
            "a\\x1b[2J\\x09b\\x7f\\x81\\x8d\\x8f\\x90\\x9d\\\\");
  // Letters of the code page stay, those of 0x80-0x9F included.
  EXPECT_EQ(EscapedText("a\xe7\xe3o \x80\x9b"), "a\xe7\xe3o \x80\x9b");
  EXPECT_EQ(EscapedText(std::string("\0x", 2)), "\\x00x");
}

TEST(TerminalText, FittingAndTheBytesForTheTerminal) {
  EXPECT_EQ(FittedText("abc", 5), "abc  ");
  EXPECT_EQ(FittedText("abcdef", 4), "abc\x85");
  EXPECT_EQ(FittedText("abc", 0), "");
  EXPECT_EQ(TerminalBytes("a\xe7\x85\x9b", true), "aç…›");
  EXPECT_EQ(TerminalBytes("a\xe7\x85\x9b", false), "a?~?");
}

}  // namespace
}  // namespace quv
