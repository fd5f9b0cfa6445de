#include "server/app/quvServerOptions.h"

#include <arpa/inet.h>

#include <charconv>
#include <filesystem>
#include <string_view>
#include <vector>

namespace quv {

namespace {

int64_t ParseNumber(std::string_view name, std::string_view text, int64_t low, int64_t high) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    throw EServerOptionsError("--" + std::string(name) + " needs a number from " +
                              std::to_string(low) + " to " + std::to_string(high));
  return value;
}

std::string ParseAddress(std::string_view text) {
  in_addr address{};
  const std::string copy(text);
  if (::inet_pton(AF_INET, copy.c_str(), &address) != 1)
    throw EServerOptionsError("--listen needs a numeric IPv4 address, not " + copy);
  return copy;
}

// The canonical path of the existing folder `text`.
std::string ParseDirectory(std::string_view text) {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::canonical(std::string(text), error);
  if (error || !std::filesystem::is_directory(path, error))
    throw EServerOptionsError("--files needs an existing directory, not " + std::string(text));
  return path.string();
}

// Applies option `name` with `value` (empty for flags).
void Apply(TServerOptions& options, std::string_view name, std::string_view value) {
  if (name == "listen")
    options.ListenAddress = ParseAddress(value);
  else if (name == "port")
    options.Port = static_cast<uint16_t>(ParseNumber(name, value, 0, 65535));
  else if (name == "max-connections")
    options.MaxConnections = static_cast<int32_t>(ParseNumber(name, value, 1, 10000));
  else if (name == "files")
    options.FilesDirectory = ParseDirectory(value);
  else if (name == "probe-interval")
    options.ProbeIntervalMs = static_cast<int32_t>(ParseNumber(name, value, 1, 3600000));
  else
    throw EServerOptionsError("Unknown option --" + std::string(name));
}

bool IsFlag(std::string_view name) { return name == "verbose" || name == "help"; }

}  // namespace

TServerOptions ParseServerOptions(int argc, const char* const argv[]) {
  TServerOptions options;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.substr(0, 2) != "--")
      throw EServerOptionsError("Unexpected argument " + std::string(arg));
    arg.remove_prefix(2);
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    if (IsFlag(name)) {
      if (equals != std::string_view::npos)
        throw EServerOptionsError("--" + std::string(name) + " takes no value");
      (name == "verbose" ? options.Verbose : options.Help) = true;
      continue;
    }
    if (equals != std::string_view::npos)
      Apply(options, name, arg.substr(equals + 1));
    else if (i + 1 < args.size())
      Apply(options, name, args[++i]);
    else
      throw EServerOptionsError("--" + std::string(name) + " needs a value");
  }
  return options;
}

std::string ServerHelpText() {
  return "Usage: quvserver [options]\n"
         "Serves remote calls over the package protocol until SIGINT or SIGTERM.\n"
         "\n"
         "  --listen ADDRESS         numeric IPv4 address to listen on (default 127.0.0.1)\n"
         "  --port N                 TCP port (default 6015); 0 picks a free port\n"
         "  --max-connections N      connections served at once (default 64); further\n"
         "                           clients get \"QUVC\" and are closed\n"
         "  --probe-interval MS      while a call runs longer than this, probe the client\n"
         "                           this often (default 1000)\n"
         "  --files DIR              answer file requests with the files inside DIR (and\n"
         "                           its subfolders); without it every request is refused\n"
         "  --verbose                one line per call on standard error: client, method,\n"
         "                           request number, milliseconds, result kind\n"
         "  --help                   this text\n"
         "\n"
         "On start the server prints \"listening on ADDRESS:PORT\" on standard output.\n";
}

}  // namespace quv
