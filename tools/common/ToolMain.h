#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Exception.h"

// The command line and the outcome of the tools, alike for all of them: a
// CLI11 parser with -h/--help and --version, a wrong command line reported
// in one line with status 2, a failure in one line with status 1, and
// standard output checked before the exit.
namespace quv::toolmain {

// A failure whose message is already UTF-8 text for people (file names as
// given, JSON texts as written). Any other exception that reaches Run carries
// a framework text in Windows-1252 and is converted for the terminal.
class EToolError : public Exception {
 public:
  using Exception::Exception;
};

// A fault in a text given on the command line (an expression): reported
// with the text echoed and a caret under the byte at `position` of it.
class EToolTextError : public EToolError {
 public:
  EToolTextError(std::string message, std::string text, std::size_t position)
      : EToolError(std::move(message)), FText(std::move(text)), FPosition(position) {}
  const std::string& Text() const { return FText; }
  std::size_t Position() const { return FPosition; }

 private:
  std::string FText;  // UTF-8
  std::size_t FPosition;
};

// A command line that cannot be run, found after parsing: status 2.
class EUsageError : public EToolError {
 public:
  using EToolError::EToolError;
};

// One tool: its name in messages, its help text and its CLI11 parser, to
// which the tool adds its options and subcommands. Used by main only.
class TTool final {
 public:
  TTool(std::string name, std::string help);

  CLI::App& App() { return FApp; }
  // Parses the command line and runs `work`, which returns the exit status.
  // Help and version go to standard output with status 0.
  int Run(int argc, char** argv, const std::function<int()>& work);

 private:
  int Parse(int argc, char** argv);

  std::string FName;
  std::string FHelp;
  CLI::App FApp;
};

// The argument `text` (UTF-8) in Windows-1252; raises EUsageError
// "WHAT: character ... is outside Windows-1252" for a character it lacks.
std::string ArgumentToCp1252(std::string_view what, std::string_view text);

}  // namespace quv::toolmain
