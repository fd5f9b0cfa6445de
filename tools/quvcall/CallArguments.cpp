#include "tools/quvcall/CallArguments.h"

#include <charconv>

#include "platform/Exception.h"

namespace quv::calltool {

namespace {

const std::string& OptionValue(const std::vector<std::string>& args, std::size_t& i) {
  if (i + 1 >= args.size()) throw Exception(args[i] + " needs a value; see --help");
  return args[++i];
}

int32_t ParseTimeout(const std::string& text) {
  int32_t value = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || value <= 0)
    throw Exception("--timeout takes a positive number of milliseconds, not \"" + text + "\"");
  return value;
}

void AddParameter(TCallArguments& call, const std::string& arg) {
  const std::size_t equals = arg.find('=');
  if (equals == std::string::npos || equals == 0)
    throw Exception("parameters are name=value, not \"" + arg + "\"; see --help");
  call.Names.push_back(arg.substr(0, equals));
  call.Values.push_back(arg.substr(equals + 1));
}

}  // namespace

TCallArguments ParseCallArguments(const std::vector<std::string>& args) {
  TCallArguments call;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      call.Help = true;
    } else if (arg == "--json") {
      call.Json = true;
    } else if (arg == "--host") {
      call.Host = OptionValue(args, i);
    } else if (arg == "--intf") {
      call.InterfaceFiles.push_back(OptionValue(args, i));
    } else if (arg == "--timeout") {
      call.TimeoutMs = ParseTimeout(OptionValue(args, i));
    } else if (arg.rfind("--", 0) == 0) {
      throw Exception("unknown option " + arg + "; see --help");
    } else if (call.Method.empty()) {
      call.Method = arg;
    } else {
      AddParameter(call, arg);
    }
  }
  if (!call.Help && call.Method.empty()) throw Exception("no METHOD given; see --help");
  return call;
}

}  // namespace quv::calltool
