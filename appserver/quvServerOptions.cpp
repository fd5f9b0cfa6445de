#include "appserver/quvServerOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>

#include "appserver/quvLocatorAnswer.h"
#include "platform/ProgramIo.h"
#include "transport/quvScktComp.h"

namespace quv {

namespace {

// Checks that a text is a numeric IPv4 address.
const CLI::Validator kIpv4Address(
    [](std::string& text) {
      return IsIpv4Address(text) ? std::string() : "needs a numeric IPv4 address, not " + text;
    },
    "");

// An address text for locator answers: printable, and no '#' that would end
// the answer early.
const CLI::Validator kAnswerAddress(
    [](std::string& text) {
      const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) > ' ' && c != '#';
      });
      return !text.empty() && printable ? std::string() : "needs an address without blanks or '#'";
    },
    "");

// The canonical path of the existing folder `text`.
std::string CanonicalDirectory(const std::string& text) {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::canonical(text, error);
  if (error || !std::filesystem::is_directory(path, error))
    throw EServerOptionsError("--files: needs an existing directory, not " + text);
  return path.string();
}

// Numbers are read wide and range-checked, then narrowed.
struct TNumbers {
  int64_t Port;
  int64_t LocatorPort;
  int64_t Seed = -1;
};

template <class T>
CLI::Option* AddNumber(CLI::App& app, const std::string& name, T& value, int64_t low, int64_t high,
                       const std::string& typeName = "N") {
  return app.add_option(name, value)
      ->check(CLI::Range(low, high).description(""))
      ->type_name(typeName);
}

}  // namespace

TServerOptions ParseServerOptions(int argc, const char* const argv[]) {
  TServerOptions options;
  TNumbers numbers{options.Port, options.LocatorPort};
  CLI::App app("", "quvserver");
  app.set_help_flag("-h,--help");
  // An option given again replaces its earlier value, as in most programs.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--version", options.Version);
  app.add_option("--listen", options.ListenAddress)->check(kIpv4Address)->type_name("ADDRESS");
  AddNumber(app, "--port", numbers.Port, 0, 65535);
  AddNumber(app, "--max-connections", options.MaxConnections, 1, 10000);
  AddNumber(app, "--probe-interval", options.ProbeIntervalMs, 1, 3600000, "MS");
  std::string files;
  app.add_option("--files", files)->type_name("DIR");
  AddNumber(app, "--locator-port", numbers.LocatorPort, 0, 65535);
  app.add_option("--locator-listen", options.LocatorListen)
      ->check(kIpv4Address)
      ->type_name("ADDRESS");
  app.add_option("--locator-answer", options.LocatorAnswer)
      ->check(kAnswerAddress)
      ->type_name("ADDRESS");
  AddNumber(app, "--locator-validity", options.LocatorValidityMs, 0, kMaxLocatorValidityMs, "MS");
  app.add_flag("--verbose", options.Verbose);
  app.add_option("--task-log", options.TaskLogFile)->type_name("FILE");
  app.add_flag("--demo", options.Demo);
  AddNumber(app, "--seed", numbers.Seed, 0, UINT32_MAX);
  AddNumber(app, "--demo-scale", options.DemoScalePercent, 1, 100, "PERCENT");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    options.Help = true;
    return options;
  } catch (const CLI::ExtrasError&) {
    throw EServerOptionsError(program::StrayArgumentText(app.remaining().front(), false));
  } catch (const CLI::ParseError& e) {
    throw EServerOptionsError(e.what());
  }
  options.Port = static_cast<uint16_t>(numbers.Port);
  options.LocatorPort = static_cast<uint16_t>(numbers.LocatorPort);
  if (numbers.Seed >= 0) options.Seed = static_cast<uint32_t>(numbers.Seed);
  if (app.count("--files") > 0) options.FilesDirectory = CanonicalDirectory(files);
  if (options.LocatorListen.empty()) options.LocatorListen = options.ListenAddress;
  return options;
}

std::string ServerHelpText() {
  return "Usage:\n"
         "  quvserver [options]\n"
         "      serve remote calls over the package protocol until SIGINT or SIGTERM\n"
         "  quvserver --help | --version\n"
         "\n"
         "Options:\n"
         "  --listen ADDRESS          numeric IPv4 address to listen on (default 127.0.0.1)\n"
         "  --port N                  TCP port (default 6015); 0 picks a free port\n"
         "  --max-connections N       connections served at once (default 64); further\n"
         "                            clients get \"QUVC\" and are closed\n"
         "  --probe-interval MS       while a call runs longer than this, probe the client\n"
         "                            this often (default 1000)\n"
         "  --locator-port N          UDP port of locator requests (default 6015); 0 picks\n"
         "                            a free port\n"
         "  --locator-listen ADDRESS  numeric IPv4 address the locator port is bound to\n"
         "                            (default: the --listen address); a broadcast address\n"
         "                            such as 127.255.255.255 lets several servers answer\n"
         "  --locator-answer ADDRESS  the server address that locator answers carry\n"
         "                            (default: the --listen address, with \":PORT\" unless\n"
         "                            the port is 6015)\n"
         "  --locator-validity MS     how long clients may keep a locator answer, 0 to\n"
         "                            999999 (default: no limit)\n"
         "  --files DIR               answer file requests with the files inside DIR (and\n"
         "                            its subfolders); without it every request is refused\n"
         "  --verbose                 one line per call on standard error: client, method,\n"
         "                            request number, milliseconds, result kind\n"
         "  --task-log FILE           append a line to FILE when a request starts and when\n"
         "                            it ends: local date-time (days since 1899-12-30),\n"
         "                            start or end, entry number, request number, method\n"
         "  --demo                    simulated clients keep sessions open and long calls\n"
         "                            running on this server, for the task viewer\n"
         "  --seed N                  the demo's choices and the session keys follow N\n"
         "                            (default: random)\n"
         "  --demo-scale PERCENT      the demo's durations and pauses, in percent (1 to\n"
         "                            100, default 100: calls of 2 s to a minute)\n"
         "\n"
         "On start the server prints \"listening on ADDRESS:PORT\" on standard output,\n"
         "then \"locator on ADDRESS:PORT\" for the UDP locator port.\n"
         "The server answers locator requests (UDP, and \"QULS\" on its TCP port) for\n"
         "the libraries of its methods. Errors and --verbose lines go to standard error\n"
         "in UTF-8, one line each. A wrong command line exits with status 2, a server\n"
         "that cannot start (its address or port taken) with status 1.\n"
         "\n"
         "Examples:\n"
         "  quvserver --port 0 --locator-port 0\n"
         "  quvserver --listen 0.0.0.0 --files /srv/quv --demo --seed 7\n";
}

}  // namespace quv
