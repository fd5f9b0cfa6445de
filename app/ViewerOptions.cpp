#include "app/ViewerOptions.h"

namespace quv {

namespace {

const std::string kSettingsOption = "--settings";

bool IsOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

void SetError(TViewerOptions& options, const std::string& error) {
  if (options.Error.empty()) options.Error = error;
}

}  // namespace

TViewerOptions ParseViewerArguments(const std::vector<std::string>& arguments) {
  TViewerOptions options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || !IsOption(argument)) {
      if (!options.Address) options.Address = argument;
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h") {
      options.Help = true;
    } else if (argument == "--version") {
      options.Version = true;
    } else if (argument == kSettingsOption || argument.rfind(kSettingsOption + "=", 0) == 0) {
      const bool joined = argument.size() > kSettingsOption.size();
      const bool hasNext = i + 1 < arguments.size();
      const std::string file = joined    ? argument.substr(kSettingsOption.size() + 1)
                               : hasNext ? arguments[++i]
                                         : std::string();
      if (file.empty())
        SetError(options, kSettingsOption + " needs a file name");
      else
        options.SettingsFile = file;
    } else {
      SetError(options, "unknown option " + argument);
    }
  }
  return options;
}

}  // namespace quv
