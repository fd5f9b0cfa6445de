#include "app/TerminalDisplay.h"

#include <curses.h>

#include <cstdlib>

#include "app/TerminalText.h"
#include "platform/Cp1252.h"
#include "platform/SystemInfo.h"

namespace quv {

namespace {

constexpr int kEscapeDelayMs = 25;

// Colour pairs, one per line style that has a colour.
enum : short {
  kWarnPair = 1,
  kAlertPair,
  kSilentPair,
  kCancellingPair,
  kDonePair,
  kFailedPair,
  kNoticePair,
  kTitlePair
};

void InitColours() {
  start_color();
  use_default_colors();
  const bool rich = COLORS >= 256;
  init_pair(kWarnPair, COLOR_BLACK, rich ? 214 : COLOR_YELLOW);
  init_pair(kAlertPair, rich ? COLOR_BLACK : COLOR_WHITE, rich ? 203 : COLOR_RED);
  init_pair(kSilentPair, rich ? 160 : COLOR_RED, -1);
  init_pair(kCancellingPair, COLOR_MAGENTA, -1);
  init_pair(kDonePair, COLOR_GREEN, -1);
  init_pair(kFailedPair, COLOR_RED, -1);
  init_pair(kNoticePair, COLOR_BLACK, rich ? 229 : COLOR_YELLOW);
  init_pair(kTitlePair, COLOR_WHITE, COLOR_BLUE);
}

// A character typed as its Windows-1252 byte; none outside the code page.
std::optional<int> Cp1252Key(wint_t c) {
  if (c < 0x80) return static_cast<int>(c);
  if (c > 0xFFFF) return std::nullopt;
  const std::string byte = Utf16ToCp1252(std::u16string(1, static_cast<char16_t>(c)));
  if (byte.size() != 1 || byte[0] == '?') return std::nullopt;
  return static_cast<unsigned char>(byte[0]);
}

std::optional<int> FunctionKey(wint_t key) {
  switch (key) {
    case KEY_UP:
      return kKeyUp;
    case KEY_DOWN:
      return kKeyDown;
    case KEY_PPAGE:
      return kKeyPageUp;
    case KEY_NPAGE:
      return kKeyPageDown;
    case KEY_HOME:
      return kKeyHome;
    case KEY_END:
      return kKeyEnd;
    case KEY_ENTER:
      return kKeyEnter;
    case KEY_BACKSPACE:
      return kKeyBackspace;
    case KEY_DC:
      return kKeyDelete;
    case KEY_IC:
      return kKeyInsert;
    case KEY_F(1):
      return kKeyF1;
    case KEY_F(5):
      return kKeyF5;
    default:
      return std::nullopt;
  }
}

std::optional<int> CharacterKey(wint_t c) {
  switch (c) {
    case '\t':
      return kKeyTab;
    case '\n':
    case '\r':
      return kKeyEnter;
    case 27:
      return kKeyEscape;
    case 8:
    case 127:
      return kKeyBackspace;
    default:
      return c < 0x20 ? std::nullopt : Cp1252Key(c);
  }
}

}  // namespace

TTerminalDisplay::TTerminalDisplay() { Start(nullptr, stdout, stdin); }

TTerminalDisplay::TTerminalDisplay(const char* type, FILE* out, FILE* in, int width, int height) {
  Start(type, out, in);
  resize_term(height, width);
}

void TTerminalDisplay::Start(const char* type, FILE* out, FILE* in) {
  FUtf8 = UserLocaleIsUtf8();
  FScreen = newterm(type, out, in);
  if (FScreen == nullptr)
    throw ETerminalError("cannot drive the terminal (TERM=" +
                         std::string(type                  ? type
                                     : std::getenv("TERM") ? std::getenv("TERM")
                                                           : "") +
                         ")");
  set_escdelay(kEscapeDelayMs);
  cbreak();  // Ctrl+C still stops the program, through its signal
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  curs_set(0);
  FColours = has_colors();
  if (FColours) InitColours();
}

TTerminalDisplay::~TTerminalDisplay() {
  endwin();
  delscreen(FScreen);
}

int TTerminalDisplay::Width() const { return getmaxx(stdscr); }

int TTerminalDisplay::Height() const { return getmaxy(stdscr); }

int TTerminalDisplay::Attributes(const TScreenLine& line) const {
  int attributes = 0;
  const auto pair = [this](short colours, int plain) -> int {
    return FColours ? static_cast<int>(COLOR_PAIR(colours)) : plain;
  };
  switch (line.Style) {
    case TLineStyle::Title:
      attributes = pair(kTitlePair, A_REVERSE) | A_BOLD;
      break;
    case TLineStyle::Header:
      attributes = A_BOLD;
      break;
    case TLineStyle::Warn:
      attributes = pair(kWarnPair, A_BOLD);
      break;
    case TLineStyle::Alert:
      attributes = pair(kAlertPair, A_BOLD | A_UNDERLINE);
      break;
    case TLineStyle::Silent:
      attributes = pair(kSilentPair, A_DIM);
      break;
    case TLineStyle::Cancelling:
      attributes = pair(kCancellingPair, A_DIM);
      break;
    case TLineStyle::Done:
      attributes = pair(kDonePair, A_BOLD);
      break;
    case TLineStyle::Failed:
      attributes = pair(kFailedPair, A_BOLD) | A_BOLD;
      break;
    case TLineStyle::Notice:
      attributes = pair(kNoticePair, A_REVERSE);
      break;
    case TLineStyle::Plain:
      break;
  }
  if (line.Marked) attributes |= A_BOLD;
  if (line.Cursor) attributes |= A_REVERSE;
  return attributes;
}

void TTerminalDisplay::Draw(const std::vector<TScreenLine>& lines) {
  erase();
  for (std::size_t y = 0; y < lines.size(); ++y) {
    attrset(Attributes(lines[y]));
    // The bottom right cell scrolls no terminal: the last line leaves it out.
    std::string text = lines[y].Text;
    if (y + 1 == lines.size() && !text.empty()) text.pop_back();
    mvaddstr(static_cast<int>(y), 0, TerminalBytes(text, FUtf8).c_str());
  }
  attrset(A_NORMAL);
  refresh();
}

std::optional<int> TTerminalDisplay::NextKey() {
  for (;;) {
    wint_t c = 0;
    const int got = get_wch(&c);
    if (got == ERR) return std::nullopt;
    if (got == KEY_CODE_YES && c == KEY_RESIZE) continue;
    const std::optional<int> key = got == KEY_CODE_YES ? FunctionKey(c) : CharacterKey(c);
    if (key) return key;
  }
}

}  // namespace quv
