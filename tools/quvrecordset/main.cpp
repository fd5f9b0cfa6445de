// quvrecordset: shows serialised recordsets and builds them from JSON rows.

#include <iostream>
#include <string>

#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "server/common/quvCalcEngine.h"
#include "server/common/quvProcessScope.h"
#include "tools/common/RecordsetDump.h"
#include "tools/common/ToolFiles.h"
#include "tools/common/ToolMain.h"
#include "tools/quvrecordset/RecordsetBuild.h"

namespace {

constexpr const char* kHelp = R"help(Usage:
  quvrecordset dump [--json] [FILE]
      show the recordset serialised in FILE (standard input without FILE
      or with "-"): a header with its name, tags and fields, then a table
      of its rows; --json prints it as a JSON document instead. Calculated
      and aggregate fields show their expression after their type.
  quvrecordset filter [--json] EXPR [FILE]
      dump only the rows for which the expression EXPR holds, for instance
      "(state = 'running') and (elapsed > 60)"; names are fields of the
      row, texts are quoted with ' or ", and comparisons bind loosest, so
      put them in parentheses when they meet and, or, + or -
  quvrecordset build --intf FILE.quv --definition NAME ROWS.json OUT
      build a recordset with the fields of the interface NAME
      (library.module.interface, or module.interface) of FILE.quv and the
      rows of ROWS.json, and save it to OUT with its definitions
  quvrecordset --help | --version

The JSON document (texts in UTF-8; stored as Windows-1252):
  {
    "name": "quvsystem.tasks.cancel",
    "tags": { "origin": "fixture" },
    "fields": [ { "name": "requestid", "type": "A", "size": 0, "decimals": 0 } ],
    "rows": [ { "requestid": "42" }, { "requestid": null } ]
  }
ROWS.json is such a document ("name" is not read; "fields", when given,
must match the definition; "tags" become the recordset's tags) or just the
list of rows. A row is an object by field name (fields left out are null)
or a list of every field's value in field order. Values by field type:
  N, +       numbers (whole numbers without decimals)   M   numbers
  A          texts                                      B   true, false
  D          "2024-05-17"        T  "08:30:00.250"      H   "2024-05-17T08:30:00"
             (dates may also be numbers of days since 1899-12-30)
  I, R       base64 texts of the bytes (R: a serialised recordset)
  null       a null value of any type
In the table, null reads (null), an empty text "", blobs <blob N bytes>,
and control characters \xNN. A text with a character outside Windows-1252
is an error. Faults in ROWS.json are reported as FILE:LINE: what; a wrong
command line exits with status 2, other failures with status 1.

Examples:
  quvrecordset build --intf quvsystem.quv --definition quvsystem.tasks.cancel \
      rows.json cancel.rs
  quvrecordset dump cancel.rs
  some-client | quvrecordset dump --json > reply.json
  quvrecordset filter "(user like 'ana%') and not done" tasks.rs
  quvrecordset filter --json "requestid in [42, 43]" cancel.rs
  quvrecordset build --intf quvsystem.quv --definition quvsystem.tasks.list \
      reply.json again.rs          # the same bytes as the dumped recordset
)help";

// Where a dump reads from, which rows it shows (every row for an empty
// expression) and how.
struct TDumpArguments {
  std::string FileName = "-";
  bool AsJson = false;
  std::string Expression;
};

// A filter must say true or false of every row (null counts as false): a
// text or a number would keep or drop rows by rules nobody means to use.
void RequireTruthValues(quv::TquvRecordset& recordset, const std::string& expression) {
  quv::TCalcEngine engine(recordset);
  engine.Parse(expression);
  for (int32_t row = 0; row < recordset.RecordCount(); ++row) {
    recordset.GoToRow(row);
    const quv::TVariant value = engine.Evaluate();
    if (!value.IsEmptyOrNull() && value.Kind() != quv::TVarKind::Boolean)
      throw quv::toolmain::EToolError("EXPR: a filter must give true or false, not " +
                                      quv::Cp1252ToUtf8(value.Describe()));
  }
}

void Filter(quv::TquvRecordset& recordset, const std::string& expression) {
  if (expression.empty()) return;
  const std::string text = quv::toolmain::ArgumentToCp1252("EXPR", expression);
  try {
    RequireTruthValues(recordset, text);
    recordset.Filter(text, false);
  } catch (const quv::EExprError& e) {
    // One byte of the Windows-1252 text is one character of the argument.
    const std::size_t at =
        quv::Cp1252ToUtf8(text.substr(0, std::min<std::size_t>(e.Position(), text.size()))).size();
    throw quv::toolmain::EToolTextError("EXPR: " + quv::Cp1252ToUtf8(e.what()), expression, at);
  } catch (const quv::toolmain::EToolError&) {
    throw;
  } catch (const std::exception& e) {
    throw quv::toolmain::EToolError("EXPR: " + quv::Cp1252ToUtf8(e.what()));
  }
}

int Dump(const TDumpArguments& args) {
  const std::string shown = args.FileName == "-" ? "standard input" : args.FileName;
  const std::string bytes = quv::toolfiles::ReadFileOrStandardInput(args.FileName);
  try {
    const auto recordset = quv::rstool::LoadRecordset(bytes);
    Filter(*recordset, args.Expression);
    if (args.AsJson)
      std::cout << quv::rstool::DumpAsJson(*recordset).dump(2) << "\n";
    else
      std::cout << quv::rstool::DumpAsText(*recordset);
  } catch (const std::exception& e) {
    if (dynamic_cast<const quv::toolmain::EToolError*>(&e)) throw;
    throw quv::toolmain::EToolError(shown + ": " + quv::Cp1252ToUtf8(e.what()));
  }
  return quv::program::kExitSuccess;
}

// What a build takes.
struct TBuildArguments {
  std::string InterfaceFile;
  std::string Definition;
  std::string Rows;
  std::string Output;
};

int Build(const TBuildArguments& args) {
  auto definitions = quv::rstool::LoadDefinitions(args.InterfaceFile, args.Definition);
  quv::toolfiles::ReplaceFile(
      args.Output, quv::rstool::BuildRecordset(std::move(definitions), args.Rows,
                                               quv::toolfiles::ReadNamedFile(args.Rows)));
  return quv::program::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TProcessScope scope;
  quv::toolmain::TTool tool("quvrecordset", kHelp);
  CLI::App& app = tool.App();
  app.require_subcommand(0, 1);
  TDumpArguments dumpArgs;
  CLI::App* dump = app.add_subcommand("dump");
  dump->add_flag("--json", dumpArgs.AsJson);
  dump->add_option("FILE", dumpArgs.FileName);
  TDumpArguments filterArgs;
  CLI::App* filter = app.add_subcommand("filter");
  filter->add_flag("--json", filterArgs.AsJson);
  filter->add_option("EXPR", filterArgs.Expression)->required();
  filter->add_option("FILE", filterArgs.FileName);
  TBuildArguments buildArgs;
  CLI::App* build = app.add_subcommand("build");
  build->add_option("--intf", buildArgs.InterfaceFile)->required();
  build->add_option("--definition", buildArgs.Definition)->required();
  build->add_option("ROWS", buildArgs.Rows)->required();
  build->add_option("OUT", buildArgs.Output)->required();
  return tool.Run(argc, argv, [&] {
    if (*dump) return Dump(dumpArgs);
    if (*filter) return Dump(filterArgs);
    if (*build) return Build(buildArgs);
    throw quv::toolmain::EUsageError("a command is needed: dump, filter or build");
  });
}
