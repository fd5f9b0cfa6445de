// quvupdate: brings files up to date from a server, as a client's loader does.

#include <iostream>
#include <string>
#include <vector>

#include "client/quvClientScope.h"
#include "loader/quvLoader.h"
#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "tools/common/ToolMain.h"

namespace {

constexpr const char* kHelp = R"help(Usage:
  quvupdate [--host H] [--folder DIR] NAME...
      bring each file NAME that the server H publishes (its --files folder)
      up to date in DIR, as a client program does with the files beside
      it: the server's descriptor NAME.upd and its _version.ini say whether
      the local copy is current; a file that is not is fetched whole or as
      a difference, put in place whole, and unpacked, installed or run as
      its descriptor asks
  quvupdate --help | --version

Options:
  --host H      the server, "host" or "host:port" (default 127.0.0.1)
  --folder DIR  the program folder to update (default: the current folder)

For every file received it prints "received NAME (N bytes)", and for every
NAME "NAME: updated" or "NAME: up to date". It stops at the first failure,
which it reports in one line with status 1; a wrong command line exits with
status 2.

Examples:
  quvupdate --host 10.0.0.5:6015 --folder /opt/app quvsystem.quv
  quvupdate --folder . tools.zip fonts.upd
)help";

// A loader that tells what it does on standard output.
class TReportingLoader final : public quv::TquvLoader {
 public:
  using TquvLoader::TquvLoader;

 protected:
  void UpdateFinished(const std::string& localName, quv::TUpdateOutcome outcome) override {
    if (outcome == quv::TUpdateOutcome::Failed) return;  // the error says it
    std::cout << quv::Cp1252ToUtf8(localName)
              << (outcome == quv::TUpdateOutcome::Fetched ? ": updated\n" : ": up to date\n")
              << std::flush;
  }
  void FileReceived(const std::string& remoteName, int64_t bytes) override {
    std::cout << "received " << quv::Cp1252ToUtf8(remoteName) << " (" << bytes << " bytes)\n";
  }
};

struct TArguments {
  std::string Host = "127.0.0.1";
  std::string Folder = ".";
  std::vector<std::string> Names;
};

int Update(const TArguments& args) {
  TReportingLoader loader(quv::toolmain::ArgumentToCp1252("--host", args.Host));
  const std::string folder = quv::toolmain::ArgumentToCp1252("--folder", args.Folder);
  for (const std::string& name : args.Names)
    loader.Update(folder, quv::toolmain::ArgumentToCp1252("NAME", name));
  return quv::program::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TClientScope scope;
  quv::toolmain::TTool tool("quvupdate", kHelp);
  CLI::App& app = tool.App();
  TArguments args;
  app.add_option("--host", args.Host);
  app.add_option("--folder", args.Folder);
  app.add_option("NAME", args.Names)->required();
  return tool.Run(argc, argv, [&] { return Update(args); });
}
