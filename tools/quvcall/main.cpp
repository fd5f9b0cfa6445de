// quvcall: calls one remote method and shows the reply rows.

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "client/quvClient.h"
#include "client/quvClientRecordset.h"
#include "client/quvClientScope.h"
#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "server/common/quvIntfRegistry.h"
#include "tools/common/RecordsetDump.h"
#include "tools/common/ToolFiles.h"
#include "tools/common/ToolMain.h"
#include "tools/quvcall/CallArguments.h"
#include "tools/quvcall/CallHost.h"
#include "tools/quvcall/CallParameters.h"
#include "transport/quvClientCfg.h"

namespace {

constexpr const char* kHelp = R"(Usage:
  quvcall [--host H] [--json] [--intf FILE.quv ...] [--timeout MS] METHOD [name=value ...]
      call METHOD (library.module.interface) with the named parameters and
      print the reply rows as an aligned table; --json prints the reply as
      a JSON document (name, tags, fields, rows) instead. Values show by
      their fields' types, and the text fields of the quvsystem lists as
      what they stand for: numbers, true or false, dates as
      2024-05-17T08:30:00
  quvcall --help | --version

Options:
  --host H       the server, as host or host:port (port 6015 when left out,
                 else 1 to 65535); a name that does not resolve fails at
                 once; without it the server locator finds the server of
                 the method's library
  --intf FILE    an interface file with the method's definitions (may be
                 given again); without it they come from LIBRARY.quv beside
                 this program, or in PREFIX/share/quv when it is installed
                 in PREFIX/bin
  --timeout MS   the call's time-out (default: the client settings')

Each value is converted by its field's type before anything is sent, as
the system converts texts: whole numbers for N fields without decimals,
numbers with "." for the others and for M, true or false (any case) or a
number for B, dates as 2024-05-17, times as 08:30[:00[.250]] and both as
2024-05-17 08:30:00; an empty value (name=) is sent as null. A name that
is not a field of the method, a value its type does not take, or a
character outside Windows-1252 is an error that names the parameter.
When the call fails, its error text goes to standard error and the exit
status is 1; a wrong command line exits with status 2.

Examples:
  quvcall --host 127.0.0.1 quvsystem.tasks.list
  quvcall --host srv01:6015 --json quvsystem.sessions.list > sessions.json
  quvcall --intf quvtest.quv --host 127.0.0.1:7000 quvtest.test.echo code=42 active=true
)";

void LoadInterfaceFiles(const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    // Says plainly why a file cannot be read before the registry tries it.
    quv::toolfiles::ReadNamedFile(file);
    const std::string path = file.find('/') != std::string::npos ? file : "./" + file;
    quv::GetRegistry().InternalGetItem(path);
  }
}

// The parameters as the method's fields take them.
std::vector<quv::TquvConst> ParameterValues(const std::string& method,
                                            const std::vector<std::string>& names,
                                            const std::vector<std::string>& texts) {
  quv::TquvSymbolDefs defs;
  quv::GetRegistry().FillDefinitions(quv::SplitCallDefinition(method).Method, defs);
  std::vector<quv::TquvConst> values;
  for (std::size_t i = 0; i < names.size(); ++i)
    values.emplace_back(quv::calltool::ParameterValue(defs, names[i], texts[i]));
  return values;
}

int Call(const quv::calltool::TCallArguments& args) {
  std::vector<std::string> names;
  std::vector<std::string> texts;
  quv::calltool::SplitParameters(args.Parameters, names, texts);
  const std::string method = quv::toolmain::ArgumentToCp1252("METHOD", args.Method);
  const std::string host =
      args.Host.empty() ? std::string() : quv::calltool::ParseHostOption(args.Host).Host;
  if (args.TimeoutMs > 0) quv::TquvClientCfg::SetTimeout(args.TimeoutMs);
  LoadInterfaceFiles(args.InterfaceFiles);
  const std::vector<quv::TquvConst> values = ParameterValues(method, names, texts);
  if (!host.empty()) quv::calltool::CheckHostResolves(host);
  for (std::string& name : names) name = quv::Utf8ToCp1252(name);
  std::unique_ptr<quv::TquvClientRecordset> reply;
  quv::ExecMethod(method, names, values, reply, args.Host);
  // A reply shows the values its texts stand for, as the task viewer does.
  const auto cells = quv::rstool::TTextCells::AsMeant;
  if (args.Json)
    std::cout << quv::rstool::DumpAsJson(*reply, cells).dump(2) << "\n";
  else
    std::cout << quv::rstool::DumpRowsAsText(*reply, cells);
  return quv::program::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  quv::toolmain::TTool tool("quvcall", kHelp);
  quv::calltool::TCallArguments args;
  quv::calltool::AddCallOptions(tool.App(), args);
  return tool.Run(argc, argv, [&] { return Call(args); });
}
