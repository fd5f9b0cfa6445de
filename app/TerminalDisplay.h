#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/TerminalScreen.h"
#include "platform/Exception.h"

struct screen;

namespace quv {

// A terminal that cannot be driven (no terminal type, an unknown one).
class ETerminalError : public Exception {
 public:
  using Exception::Exception;
};

// A terminal driven by ncurses while the object lives: keys read without
// echo and without waiting, the cursor hidden, lines drawn with the
// terminal's colours (256 where it has them, 8, or none: bold, dim and
// reverse video instead) and in UTF-8 where the locale takes it (ASCII
// otherwise). Destroying it gives the terminal back as it was. One per
// process at a time; one thread.
class TTerminalDisplay final {
 public:
  // The terminal of standard input and output, of type $TERM.
  TTerminalDisplay();
  // A terminal of type `type` and of `width` x `height` cells writing to
  // `out` and reading `in` (both must outlive the display), for drawing
  // without a person.
  TTerminalDisplay(const char* type, FILE* out, FILE* in, int width, int height);
  ~TTerminalDisplay();
  TTerminalDisplay(const TTerminalDisplay&) = delete;
  TTerminalDisplay& operator=(const TTerminalDisplay&) = delete;

  int Width() const;
  int Height() const;
  bool Utf8() const { return FUtf8; }
  void Draw(const std::vector<TScreenLine>& lines);
  // The next key waiting, as TTerminalScreen reads keys (a resize is taken
  // here: the next Draw uses the new size); none when no key waits.
  std::optional<int> NextKey();

 private:
  void Start(const char* type, FILE* out, FILE* in);
  int Attributes(const TScreenLine& line) const;

  screen* FScreen = nullptr;
  bool FUtf8 = false;
  bool FColours = false;
};

}  // namespace quv
