#include "tools/common/ToolMain.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"

namespace quv::toolmain {

namespace {

constexpr int kNotDone = -1;

// The first argument that nothing took, said as every program says it; none
// when each was taken. A word in the place of a command is an unknown command.
std::optional<std::string> StrayArgument(const CLI::App& app) {
  const std::vector<std::string> stray = app.remaining(true);
  if (stray.empty()) return std::nullopt;
  const bool hasCommands = !app.get_subcommands([](const CLI::App*) { return true; }).empty();
  return program::StrayArgumentText(stray.front(), hasCommands && app.get_subcommands().empty());
}

}  // namespace

TTool::TTool(std::string name, std::string help)
    : FName(std::move(name)), FHelp(std::move(help)), FApp("", FName) {
  FApp.set_help_flag("-h,--help");
  // An option given again replaces its earlier value, as in most programs.
  FApp.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  FApp.set_version_flag("--version", FName + " " + QUV_VERSION);
}

int TTool::Parse(int argc, char** argv) {
  try {
    FApp.parse(argc, argv);
    return kNotDone;
  } catch (const CLI::CallForHelp&) {
    std::fputs(FHelp.c_str(), stdout);
  } catch (const CLI::CallForVersion&) {
    std::printf("%s %s\n", FName.c_str(), QUV_VERSION);
  } catch (const CLI::RequiredError& e) {
    // An unknown argument explains a missing one better: "--hots x" leaves
    // the host missing because the option was misspelt.
    return program::ReportUsageError(FName, StrayArgument(FApp).value_or(e.what()));
  } catch (const CLI::ExtrasError& e) {
    return program::ReportUsageError(FName, StrayArgument(FApp).value_or(e.what()));
  } catch (const CLI::ParseError& e) {
    return program::ReportUsageError(FName, e.what());
  }
  return program::kExitSuccess;
}

int TTool::Run(int argc, char** argv, const std::function<int()>& work) {
  int status = Parse(argc, argv);
  if (status != kNotDone) return program::FinishStandardOutput(FName, status);
  try {
    status = work();
  } catch (const EUsageError& e) {
    return program::ReportUsageError(FName, e.what());
  } catch (const EToolTextError& e) {
    program::ReportErrorAt(FName, e.what(), e.Text(), e.Position());
    status = program::kExitFailure;
  } catch (const EToolError& e) {
    program::ReportError(FName, e.what());
    status = program::kExitFailure;
  } catch (const std::exception& e) {
    program::ReportError(FName, Cp1252ToUtf8(e.what()));
    status = program::kExitFailure;
  }
  return program::FinishStandardOutput(FName, status);
}

std::string ArgumentToCp1252(std::string_view what, std::string_view text) {
  try {
    return Utf8ToCp1252Exact(text);
  } catch (const ECodePageError& e) {
    throw EUsageError(std::string(what) + ": " + e.what());
  }
}

}  // namespace quv::toolmain
