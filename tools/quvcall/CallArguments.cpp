#include "tools/quvcall/CallArguments.h"

#include <limits>

#include "tools/common/ToolMain.h"

namespace quv::calltool {

void AddCallOptions(CLI::App& app, TCallArguments& args) {
  app.add_flag("--json", args.Json);
  app.add_option("--host", args.Host)->type_name("H");
  app.add_option("--intf", args.InterfaceFiles)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("FILE");
  app.add_option("--timeout", args.TimeoutMs)
      ->check(CLI::Range(1, std::numeric_limits<int32_t>::max()).description(""))
      ->type_name("MS");
  app.add_option("METHOD", args.Method)->required();
  app.add_option("name=value", args.Parameters)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void SplitParameters(const std::vector<std::string>& parameters, std::vector<std::string>& names,
                     std::vector<std::string>& values) {
  for (const std::string& parameter : parameters) {
    const std::size_t equals = parameter.find('=');
    if (equals == std::string::npos || equals == 0)
      throw toolmain::EUsageError("parameters are name=value, not \"" + parameter + "\"");
    names.push_back(parameter.substr(0, equals));
    values.push_back(parameter.substr(equals + 1));
  }
}

}  // namespace quv::calltool
