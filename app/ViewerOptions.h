#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quv {

// What the viewer's command line asks for.
struct TViewerOptions {
  bool Help = false;
  bool Version = false;
  std::string SettingsFile;            // from --settings; empty: the file beside the program
  std::optional<std::string> Address;  // the first argument that is not an option
  std::string Error;                   // not empty when the command line is wrong
};

// Reads the arguments after the program name: --help (-h), --version,
// --settings FILE (or --settings=FILE) and server addresses, of which only
// the first counts. "--" ends the options. An unknown option, or --settings
// without a file, sets Error to the first such fault; the rest is still read.
TViewerOptions ParseViewerArguments(const std::vector<std::string>& arguments);

}  // namespace quv
