// quvrecordset: shows serialised recordsets and builds them from JSON rows.

#include <iostream>
#include <string>
#include <vector>

#include "platform/Cp1252.h"
#include "tools/common/ToolFiles.h"
#include "tools/quvrecordset/RecordsetBuild.h"
#include "tools/common/RecordsetDump.h"

namespace {

constexpr const char* kHelp = R"(Usage:
  quvrecordset dump [--json] [FILE]
      show the recordset serialised in FILE (standard input without FILE
      or with "-"): a header with its name, tags and fields, then a table
      of its rows; --json prints it as a JSON document instead
  quvrecordset build --intf FILE.quv --definition NAME ROWS.json OUT
      build a recordset with the fields of the interface NAME
      (library.module.interface, or module.interface) of FILE.quv and the
      rows of ROWS.json, and save it to OUT with its definitions
  quvrecordset --help
      this text

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
In the table, null reads (null), an empty text "", blobs <blob N bytes>.

Examples:
  quvrecordset build --intf quvsystem.quv --definition quvsystem.tasks.cancel \
      rows.json cancel.rs
  quvrecordset dump cancel.rs
  some-client | quvrecordset dump --json > reply.json
  quvrecordset build --intf quvsystem.quv --definition quvsystem.tasks.list \
      reply.json again.rs          # the same bytes as the dumped recordset
)";

int Dump(const std::vector<std::string>& args) {
  bool asJson = false;
  std::string fileName = "-";
  for (const std::string& arg : args) {
    if (arg == "--json" && !asJson)
      asJson = true;
    else if (fileName == "-")
      fileName = arg;
    else
      throw quv::Exception("dump takes [--json] and one FILE; see --help");
  }
  const std::string shown = fileName == "-" ? "standard input" : fileName;
  const std::string bytes = fileName == "-" ? quv::toolfiles::ReadWholeStream(std::cin)
                                            : quv::toolfiles::ReadWholeFile(fileName);
  try {
    const auto recordset = quv::rstool::LoadRecordset(bytes);
    if (asJson)
      std::cout << quv::rstool::DumpAsJson(*recordset).dump(2) << "\n";
    else
      std::cout << quv::rstool::DumpAsText(*recordset);
  } catch (const std::exception& e) {
    throw quv::Exception(shown + ": " + quv::Cp1252ToUtf8(e.what()));
  }
  return 0;
}

int Build(const std::vector<std::string>& args) {
  if (args.size() != 6 || args[0] != "--intf" || args[2] != "--definition")
    throw quv::Exception("build takes --intf FILE.quv --definition NAME ROWS.json OUT; see --help");
  const std::string& rows = args[4];
  auto definitions = quv::rstool::LoadDefinitions(args[1], args[3]);
  quv::toolfiles::ReplaceFile(args[5],
                              quv::rstool::BuildRecordset(std::move(definitions), rows,
                                                          quv::toolfiles::ReadWholeFile(rows)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
      std::cout << kHelp;
      return 0;
    }
    const std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    if (!args.empty() && args[0] == "dump") return Dump(rest);
    if (!args.empty() && args[0] == "build") return Build(rest);
    std::cerr << kHelp;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quvrecordset: " << e.what() << "\n";
    return 1;
  }
}
