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
      apply the difference DIFF to OLD and write the new file to OUT; an
      OLD other than the file the difference was made for, or a damaged
      difference, fails ("CRC Error", with which of the two it is) and
      writes nothing
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

// Why a difference could not be applied: its header names the checksum of
// the old file it was made for, which tells a wrong old file from a damaged
// difference.
std::string FailedApplyText(const TArguments& args, const std::string& oldData,
                            const std::string& diff, const std::string& reason) {
  const std::string shown = " (" + quv::Cp1252ToUtf8(reason) + ")";
  if (quv::DifferenceTarget(diff) && !quv::IsDifferenceFor(diff, quv::Crc32(oldData)))
    return args.Old + ": not the old file that the difference " + args.Second + " was made for" +
           shown;
  return args.Second + ": the difference is damaged" + shown;
}

int Apply(const TArguments& args) {
  const std::string oldData = quv::toolfiles::ReadNamedFile(args.Old);
  const std::string diff = quv::toolfiles::ReadNamedFile(args.Second);
  quv::TViewStream old(oldData), diffStream(diff);
  quv::TMemoryStream output;
  try {
    quv::ApplyDifference(old, diffStream, output);
  } catch (const quv::Exception& e) {
    throw quv::toolmain::EToolError(FailedApplyText(args, oldData, diff, e.what()));
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
