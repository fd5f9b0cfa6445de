#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quv::calltool {

// What the command line of quvcall asks for. Texts are as typed (UTF-8).
struct TCallArguments {
  bool Help = false;
  bool Json = false;
  std::string Host;                         // empty: the locator finds the server
  std::vector<std::string> InterfaceFiles;  // --intf, in the order given
  int32_t TimeoutMs = 0;                    // 0: the configured time-out
  std::string Method;
  std::vector<std::string> Names;
  std::vector<std::string> Values;
};

// Reads `args` (without the program name); raises Exception with a message
// for people when they do not make a call.
TCallArguments ParseCallArguments(const std::vector<std::string>& args);

}  // namespace quv::calltool
