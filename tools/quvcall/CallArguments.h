#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace quv::calltool {

// What the command line of quvcall asks for. Texts are as typed (UTF-8).
struct TCallArguments {
  bool Json = false;
  std::string Host;                         // empty: the locator finds the server
  std::vector<std::string> InterfaceFiles;  // --intf, in the order given
  int32_t TimeoutMs = 0;                    // 0: the configured time-out
  std::string Method;
  std::vector<std::string> Parameters;  // name=value
};

// Declares the options and arguments of quvcall on `app`; parsing fills `args`.
void AddCallOptions(CLI::App& app, TCallArguments& args);

// The parameters split at their first '=' into `names` and `values`; raises
// EUsageError for one without '=' or without a name.
void SplitParameters(const std::vector<std::string>& parameters, std::vector<std::string>& names,
                     std::vector<std::string>& values);

}  // namespace quv::calltool
