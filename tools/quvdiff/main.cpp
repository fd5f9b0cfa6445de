// quvdiff: makes and applies the difference files a server publishes.

#include <iostream>
#include <string>

#include "loader/quvDiff.h"
#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "server/common/quvProcessScope.h"
#include "server/common/quvViewStream.h"
#include "tools/common/ToolFiles.h"
#include "tools/common/ToolMain.h"

namespace {

constexpr const char* kHelp = R"help(Usage:
  quvdiff make OLD NEW OUT
      write to OUT the difference that leads from the file OLD to the file
      NEW; publish it under "Diff_Files" in the section of NEW's descriptor
      named by OLD's checksum, which quvdiff prints (CRC-32, decimal)
  quvdiff apply OLD DIFF OUT
      apply the difference DIFF to OLD and write the new file to OUT; a
      damaged difference, or one made for another old file, fails with
      "CRC Error" and writes nothing
  quvdiff --help | --version

OUT is replaced whole: it keeps its old content when anything fails. A
wrong command line exits with status 2, other failures with status 1.

Examples:
  quvdiff make lib-1.quv lib-2.quv lib-1-2.diff
  quvdiff apply lib-1.quv lib-1-2.diff lib.quv
)help";

struct TArguments {
  std::string Old, Second, Output;
};

void AddFiles(CLI::App* command, TArguments& args, const char* second) {
  command->add_option("OLD", args.Old)->required();
  command->add_option(second, args.Second)->required();
  command->add_option("OUT", args.Output)->required();
}

int Make(const TArguments& args) {
  const std::string oldData = quv::toolfiles::ReadNamedFile(args.Old);
  quv::toolfiles::ReplaceFile(
      args.Output, quv::MakeDifference(oldData, quv::toolfiles::ReadNamedFile(args.Second)));
  std::cout << quv::Crc32(oldData) << "\n";
  return quv::program::kExitSuccess;
}

int Apply(const TArguments& args) {
  const std::string oldData = quv::toolfiles::ReadNamedFile(args.Old);
  const std::string diff = quv::toolfiles::ReadNamedFile(args.Second);
  quv::TViewStream old(oldData), diffStream(diff);
  quv::TMemoryStream output;
  try {
    quv::ApplyDifference(old, diffStream, output);
  } catch (const quv::Exception& e) {
    throw quv::toolmain::EToolError(args.Second + ": " + quv::Cp1252ToUtf8(e.what()));
  }
  const quv::TByteView bytes = output.Bytes();
  quv::toolfiles::ReplaceFile(
      args.Output, std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return quv::program::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TProcessScope scope;
  quv::toolmain::TTool tool("quvdiff", kHelp);
  CLI::App& app = tool.App();
  app.require_subcommand(0, 1);
  TArguments makeArgs, applyArgs;
  CLI::App* make = app.add_subcommand("make");
  AddFiles(make, makeArgs, "NEW");
  CLI::App* apply = app.add_subcommand("apply");
  AddFiles(apply, applyArgs, "DIFF");
  return tool.Run(argc, argv, [&] {
    if (*make) return Make(makeArgs);
    if (*apply) return Apply(applyArgs);
    throw quv::toolmain::EUsageError("a command is needed: make or apply");
  });
}
