#include "appserver/quvServerOptions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string_view>
#include <vector>

#include "appserver/quvLocatorAnswer.h"

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

std::string ParseAddress(std::string_view name, std::string_view text) {
  in_addr address{};
  const std::string copy(text);
  if (::inet_pton(AF_INET, copy.c_str(), &address) != 1)
    throw EServerOptionsError("--" + std::string(name) + " needs a numeric IPv4 address, not " +
                              copy);
  return copy;
}

// An address text for locator answers: printable, and no '#' that would end
// the answer early.
std::string ParseAnswerAddress(std::string_view text) {
  const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && c != '#';
  });
  if (text.empty() || !printable)
    throw EServerOptionsError("--locator-answer needs an address without blanks or '#'");
  return std::string(text);
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
    options.ListenAddress = ParseAddress(name, value);
  else if (name == "port")
    options.Port = static_cast<uint16_t>(ParseNumber(name, value, 0, 65535));
  else if (name == "max-connections")
    options.MaxConnections = static_cast<int32_t>(ParseNumber(name, value, 1, 10000));
  else if (name == "files")
    options.FilesDirectory = ParseDirectory(value);
  else if (name == "probe-interval")
    options.ProbeIntervalMs = static_cast<int32_t>(ParseNumber(name, value, 1, 3600000));
  else if (name == "locator-port")
    options.LocatorPort = static_cast<uint16_t>(ParseNumber(name, value, 0, 65535));
  else if (name == "locator-listen")
    options.LocatorListen = ParseAddress(name, value);
  else if (name == "locator-answer")
    options.LocatorAnswer = ParseAnswerAddress(value);
  else if (name == "locator-validity")
    options.LocatorValidityMs =
        static_cast<int32_t>(ParseNumber(name, value, 0, kMaxLocatorValidityMs));
  else if (name == "seed")
    options.Seed = static_cast<uint32_t>(ParseNumber(name, value, 0, UINT32_MAX));
  else if (name == "demo-scale")
    options.DemoScalePercent = static_cast<int32_t>(ParseNumber(name, value, 1, 100));
  else
    throw EServerOptionsError("Unknown option --" + std::string(name));
}

bool IsFlag(std::string_view name) { return name == "verbose" || name == "help" || name == "demo"; }

bool& FlagOf(TServerOptions& options, std::string_view name) {
  if (name == "verbose") return options.Verbose;
  return name == "demo" ? options.Demo : options.Help;
}

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
      FlagOf(options, name) = true;
      continue;
    }
    if (equals != std::string_view::npos)
      Apply(options, name, arg.substr(equals + 1));
    else if (i + 1 < args.size())
      Apply(options, name, args[++i]);
    else
      throw EServerOptionsError("--" + std::string(name) + " needs a value");
  }
  if (options.LocatorListen.empty()) options.LocatorListen = options.ListenAddress;
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
         "  --locator-port N         UDP port of locator requests (default 6015); 0 picks\n"
         "                           a free port\n"
         "  --locator-listen ADDRESS numeric IPv4 address the locator port is bound to\n"
         "                           (default: the --listen address); a broadcast address\n"
         "                           such as 127.255.255.255 lets several servers answer\n"
         "  --locator-answer ADDRESS the server address that locator answers carry\n"
         "                           (default: the --listen address, with \":PORT\" unless\n"
         "                           the port is 6015)\n"
         "  --locator-validity MS    how long clients may keep a locator answer, 0 to\n"
         "                           999999 (default: no limit)\n"
         "  --files DIR              answer file requests with the files inside DIR (and\n"
         "                           its subfolders); without it every request is refused\n"
         "  --verbose                one line per call on standard error: client, method,\n"
         "                           request number, milliseconds, result kind\n"
         "  --demo                   simulated clients keep sessions open and long calls\n"
         "                           running on this server, for the task viewer\n"
         "  --seed N                 the demo's choices and the session keys follow N\n"
         "                           (default: random)\n"
         "  --demo-scale PERCENT     the demo's durations and pauses, in percent (1 to\n"
         "                           100, default 100: calls of 2 s to a minute)\n"
         "  --help                   this text\n"
         "\n"
         "On start the server prints \"listening on ADDRESS:PORT\" on standard output,\n"
         "then \"locator on ADDRESS:PORT\" for the UDP locator port.\n"
         "The server answers locator requests (UDP, and \"QULS\" on its TCP port) for\n"
         "the libraries of its methods.\n";
}

}  // namespace quv
