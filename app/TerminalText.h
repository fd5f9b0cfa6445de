#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Server texts on their way to a terminal. Texts are Windows-1252 bytes, one
// terminal cell per byte, until TerminalBytes turns them into what the
// terminal takes.
namespace quv {

// `cp1252` with every byte that could command a terminal written as text:
// control bytes (0x00-0x1F, 0x7F) and the bytes Windows-1252 leaves
// unassigned as \xNN, and the backslash as \\, so that a server's text is
// shown, never obeyed.
std::string EscapedText(std::string_view cp1252);

// `cells` cut or padded with blanks to exactly `width` cells; a cut text
// ends in "…" (the cut shows).
std::string FittedText(std::string_view cells, std::size_t width);

// The bytes to write for `cells`: UTF-8 when the terminal takes it, else
// ASCII, with "~" for "…" and "?" for any other letter outside ASCII.
// `cells` must be escaped already.
std::string TerminalBytes(std::string_view cells, bool utf8);

}  // namespace quv
