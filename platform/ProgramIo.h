#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What every program of the project does at its edges, the same way: exit
// statuses, one-line error messages on standard error, the check that
// standard output took everything, and reading the files people name on the
// command line. Messages are UTF-8.
namespace quv::program {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the work failed
inline constexpr int kExitUsage = 2;    // the command line is wrong

// Most bytes of a message line; a longer one (an echo of a long input) is cut.
inline constexpr std::size_t kMaxMessageBytes = 400;

// `text` as one line that is safe to show: control characters, direction
// overrides and bytes that are not UTF-8 written as \xNN or \uNNNN; cut at a
// character to at most `maxBytes` bytes, "..." marking the cut.
std::string ShownText(std::string_view text, std::size_t maxBytes = kMaxMessageBytes);

// Writes "PROGRAM: MESSAGE" on standard error, the message as ShownText.
void ReportError(std::string_view program, std::string_view message);
// Writes the message as ReportError does, then `text` (UTF-8, shown as
// ShownText) indented on a line of its own and a caret under the character
// that starts at byte `position` of it.
void ReportErrorAt(std::string_view program, std::string_view message, std::string_view text,
                   std::size_t position);
// Reports a wrong command line as "PROGRAM: MESSAGE" and the hint
// "Try 'PROGRAM --help'." on the next line; returns kExitUsage.
int ReportUsageError(std::string_view program, std::string_view message);
// What is wrong with an argument that no option, command or operand took:
// "unknown option '--bogus'" when it starts with a dash (a value after '='
// left out), "unknown command 'x'" when a command was expected in its place,
// else "unexpected argument 'x'".
std::string StrayArgumentText(std::string_view argument, bool commandExpected);

// Flushes standard output. When something written to it was lost (a full
// disk, a closed pipe), reports "cannot write to standard output" with the
// reason and returns kExitFailure; otherwise returns `status`.
int FinishStandardOutput(std::string_view program, int status);

// The bytes of the file named `fileName`: ReadWholeFile under its default cap,
// an empty file refused. Raises EFileError "FILE: REASON".
std::string ReadInputFile(const std::string& fileName);
// The same for what arrives on standard input, named "standard input";
// nothing at all is refused with "nothing arrived".
std::string ReadStandardInput();

}  // namespace quv::program
