#include "platform/ProgramIo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

#include "platform/Cp1252.h"
#include "platform/Exception.h"
#include "platform/FileIo.h"

namespace quv::program {

namespace {

constexpr std::string_view kCutMark = "...";

bool IsControl(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

// Characters that reorder what a terminal shows after them.
bool IsDirectionControl(char32_t cp) {
  return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E ||
         cp == 0x200F || cp == 0x061C;
}

std::string Escaped(const char* format, unsigned value) {
  char text[12];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The way `text` at `i` is shown, and how many bytes of it that covers.
std::string ShownAt(std::string_view text, std::size_t i, std::size_t& length) {
  char32_t cp = 0;
  length = DecodeUtf8(text, i, cp);
  if (length == 0) {
    length = 1;
    return Escaped("\\x%02X", static_cast<unsigned char>(text[i]));
  }
  if (cp < 0x80 && IsControl(cp)) return Escaped("\\x%02X", static_cast<unsigned>(cp));
  if (IsControl(cp) || IsDirectionControl(cp)) return Escaped("\\u%04X", static_cast<unsigned>(cp));
  return std::string(text.substr(i, length));
}

// Characters of a UTF-8 text: the bytes that do not continue a character.
std::size_t CharacterCount(std::string_view utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

std::string ShownText(std::string_view text, std::size_t maxBytes) {
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 0;
    const std::string piece = ShownAt(text, i, length);
    if (shown.size() + piece.size() + kCutMark.size() > maxBytes && i + length < text.size()) {
      shown += kCutMark;
      break;
    }
    shown += piece;
    i += length;
  }
  return shown;
}

void ReportError(std::string_view program, std::string_view message) {
  std::fflush(stdout);
  const std::string line = std::string(program) + ": " + ShownText(message) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void ReportErrorAt(std::string_view program, std::string_view message, std::string_view text,
                   std::size_t position) {
  ReportError(program, message);
  const std::string shown = ShownText(text);
  const std::string before =
      ShownText(text.substr(0, std::min(position, text.size())), std::string_view::npos);
  const std::size_t column = std::min(CharacterCount(before), CharacterCount(shown));
  const std::string lines = "  " + shown + "\n  " + std::string(column, ' ') + "^\n";
  std::fwrite(lines.data(), 1, lines.size(), stderr);
  std::fflush(stderr);
}

int ReportUsageError(std::string_view program, std::string_view message) {
  ReportError(program, message);
  const std::string hint = "Try '" + ShownText(program) + " --help'.\n";
  std::fwrite(hint.data(), 1, hint.size(), stderr);
  std::fflush(stderr);
  return kExitUsage;
}

std::string StrayArgumentText(std::string_view argument, bool commandExpected) {
  if (argument.size() > 1 && argument.front() == '-')
    return "unknown option '" + std::string(argument.substr(0, argument.find('='))) + "'";
  return (commandExpected ? "unknown command '" : "unexpected argument '") + std::string(argument) +
         "'";
}

int FinishStandardOutput(std::string_view program, int status) {
  // The C stream first: flushing the C++ stream would flush it too and lose
  // the reason.
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int reason = errno;
  std::cout.flush();
  if (flushed && !std::ferror(stdout) && std::cout.good()) return status;
  ReportError(program, "cannot write to standard output" +
                           (reason != 0 ? ": " + SysErrorMessage(reason) : std::string()));
  return kExitFailure;
}

std::string ReadInputFile(const std::string& fileName) {
  return ReadWholeFile(fileName, {.RequireContent = true});
}

std::string ReadStandardInput() {
  std::string bytes = ReadToEnd(STDIN_FILENO, "standard input");
  if (bytes.empty()) throw EFileError("standard input", "nothing arrived");
  return bytes;
}

}  // namespace quv::program
