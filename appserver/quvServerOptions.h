#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Exception.h"

namespace quv {

struct TServerOptions {
  std::string ListenAddress = "127.0.0.1";     // numeric IPv4 address
  uint16_t Port = 6015;                        // 0: a free port, printed on start
  int32_t MaxConnections = 64;                 // connections served at once; more are refused
  int32_t ProbeIntervalMs = 1000;              // a call running longer gets a probe this often
  int64_t MaxRequestBytes = 64 * 1024 * 1024;  // parameters recordset of one request
  std::string FilesDirectory;                  // canonical folder of the files served; empty: none
  bool Verbose = false;                        // one line per call on standard error
  std::string TaskLogFile;                     // a line per request started and ended; empty: none
  uint16_t LocatorPort = 6015;                 // UDP locator port; 0: a free port
  std::string LocatorListen;                   // UDP locator address; empty: ListenAddress
  std::string LocatorAnswer;                   // address in locator answers; empty: ours
  int32_t LocatorValidityMs = -1;              // validity suffix of answers; -1: none
  bool Demo = false;                           // run the demo workload against this server
  std::optional<uint32_t> Seed;                // the demo's choices and the session keys
  int32_t DemoScalePercent = 100;              // the demo's durations, in percent
  bool Help = false;
  bool Version = false;
};

// A command line the server cannot run with.
class EServerOptionsError : public Exception {
 public:
  using Exception::Exception;
};

// The options of `argv` (argv[0] is the program); "--name value" and
// "--name=value" both work. Raises EServerOptionsError with the reason,
// naming the option or argument at fault.
TServerOptions ParseServerOptions(int argc, const char* const argv[]);

// What --help prints.
std::string ServerHelpText();

}  // namespace quv
