// quvcall: calls one remote method and shows the reply rows.

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "client/quvClient.h"
#include "platform/Cp1252.h"
#include "server/common/quvIntfRegistry.h"
#include "tools/common/RecordsetDump.h"
#include "tools/quvcall/CallArguments.h"
#include "transport/quvClientCfg.h"

namespace {

constexpr const char* kHelp = R"(Usage:
  quvcall [--host H] [--json] [--intf FILE.quv ...] [--timeout MS] METHOD [name=value ...]
      call METHOD (library.module.interface) with the named parameters and
      print the reply rows as an aligned table; --json prints the reply as
      a JSON document (name, tags, fields, rows) instead
  quvcall --help
      this text

Options:
  --host H       the server, as host or host:port (port 6015 when left out);
                 without it the server locator finds the server of the
                 method's library
  --intf FILE    an interface file with the method's definitions; without
                 it they come from LIBRARY.quv beside this program
  --timeout MS   the call's time-out (default: the client settings')

Values are texts that the method's field types take: numbers, true or
false, dates as 2024-05-17; an empty value (name=) is sent as null.
When the call fails, its error text goes to standard error and the exit
code is 1 (2 for a wrong command line).

Examples:
  quvcall --host 127.0.0.1 quvsystem.tasks.list
  quvcall --host srv01:6015 --json quvsystem.sessions.list > sessions.json
  quvcall --intf quvtest.quv --host 127.0.0.1:7000 quvtest.test.echo code=42 name=teste
)";

void LoadInterfaceFiles(const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    const std::string path = file.find('/') != std::string::npos ? file : "./" + file;
    quv::GetRegistry().InternalGetItem(path);
  }
}

int Call(const quv::calltool::TCallArguments& args) {
  if (args.TimeoutMs > 0) quv::TquvClientCfg::SetTimeout(args.TimeoutMs);
  LoadInterfaceFiles(args.InterfaceFiles);
  std::vector<std::string> names;
  std::vector<quv::TquvConst> values;
  for (const std::string& name : args.Names) names.push_back(quv::Utf8ToCp1252(name));
  for (const std::string& value : args.Values) values.emplace_back(quv::Utf8ToCp1252(value));
  std::unique_ptr<quv::TquvClientRecordset> reply;
  quv::ExecMethod(quv::Utf8ToCp1252(args.Method), names, values, reply, args.Host);
  if (args.Json)
    std::cout << quv::rstool::DumpAsJson(*reply).dump(2) << "\n";
  else
    std::cout << quv::rstool::DumpRowsAsText(*reply);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  quv::calltool::TCallArguments args;
  try {
    args = quv::calltool::ParseCallArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "quvcall: " << e.what() << "\n";
    return 2;
  }
  if (args.Help) {
    std::cout << kHelp;
    return 0;
  }
  try {
    quv::TquvInterfaceRegistryScope interfaces;
    return Call(args);
  } catch (const std::exception& e) {
    std::cerr << "quvcall: " << quv::Cp1252ToUtf8(e.what()) << "\n";
    return 1;
  }
}
