// quvintf: builds interface files from JSON descriptions and dumps them.

#include <iostream>
#include <string>

#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"
#include "server/common/quvProcessScope.h"
#include "tools/common/ToolFiles.h"
#include "tools/common/ToolMain.h"
#include "tools/quvintf/IntfDescription.h"
#include "tools/quvintf/IntfDump.h"

namespace {

constexpr const char* kHelp = R"(Usage:
  quvintf build DESCRIPTION.json OUT.quv   build an interface file
  quvintf dump [--json] FILE.quv           show an interface file (--json: as a description)
  quvintf --help | --version

A description is a JSON object (texts in UTF-8; they are stored as
Windows-1252, and a character outside it is an error):

  "library"     the library name; when given it must be OUT's base name
  "signature"   the file's 6 signature characters (default "SQV37F"); the
                4th and 5th are its version, 2 to 37 ("S" counts as 0), and
                a first character other than "S" marks a plain file
  "reserved"    the two header bytes after the signature (0 to 65535)
  "interfaces"  a list of interfaces, stored in this order; each has
    "name"        module.interface (required)
    "kind", "flag"  index bytes (0 to 255, default 0)
    "word1", "word2", "extraText"  (version 36 on) index number (-32768 to
                  32767, default -1), byte and a text of at most 255 bytes
                  (with word1 = 2: the module.interface this one extends)
    "descriptor", "text1", "text2", "text3"     header texts
    "leadText"    (before version 3) the header's first text, which nothing reads
    "kindByte", "word3", "byte1", "byte2", "byte3", "byte4"  header numbers
    "groups"      (version 9 on) a list of groups: "name" (required),
                  "number", "byteA", "byteB", "byteC", "textA", "textB";
                  groups with byteB 0 belong to the first set, the others
                  to the second
    "fields"      the fields of the first set (parameters and reply)
    "fields2"     the fields of the second set
  A field has "name" and "type" (one of N + A I R B D T H M, required),
  "size", "decimals", "flags" (16 = required, 4096 = carries text15),
  "displayWidth", "group" (a group of its set; before version 9 the name
  alone makes the group), "constraint", "reference", "storedReference",
  "text1" to "text13", "text15", "byte1" to "byte3", and before version 3
  "leadText1" and "leadText2" (the record's first texts, which nothing reads).
  A "reference" is the name that readers of the library see: module.interface
  is completed to library.module.interface, and a reference into the library
  is stored as module.interface. "storedReference" gives the stored text
  instead, which must read as the "reference"; the dump adds it where another
  writer stored a reference otherwise (for example in full).
  Numbers default to 0 and texts to "". Unknown keys are errors, and so is
  a value that the file's version cannot keep (a text too long for its
  length byte, a key the version does not store).

Example:
  {
    "library": "demo",
    "interfaces": [
      { "name": "orders.list",
        "fields": [
          { "name": "number", "type": "N" },
          { "name": "customer", "type": "A", "size": 40, "flags": 16 } ] }
    ]
  }

`quvintf dump --json FILE.quv` prints the description of a file of any
version, its groups in the file's order; building it again gives the same
bytes when the file keeps its interfaces' data in index order, one after the
other, as this tool writes them. A file that names an interface twice is
refused, as programs refuse it. Faults are reported as FILE:LINE: what; a
wrong command line exits with status 2, other failures with status 1.
)";

int Build(const std::string& description, const std::string& output) {
  const std::string library = quv::toolfiles::LibraryNameOf(output);
  const std::string bytes = quv::intftool::BuildInterfaceFile(
      description, quv::toolfiles::ReadNamedFile(description), library);
  quv::toolfiles::ReplaceFile(output, bytes);
  return quv::program::kExitSuccess;
}

int Dump(const std::string& fileName, bool asJson) {
  // Messages of the file's reader name it in the framework's code page.
  const quv::intftool::TDumpedFile file = quv::intftool::ReadInterfaceFile(
      quv::Utf8ToCp1252(fileName), quv::toolfiles::ReadNamedFile(fileName));
  const std::string library = quv::toolfiles::LibraryNameOf(fileName);
  if (asJson)
    std::cout << quv::intftool::DumpAsJson(file, library).dump(2) << "\n";
  else
    std::cout << quv::intftool::DumpAsText(file, fileName, library);
  return quv::program::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  const quv::TProcessScope scope;
  quv::toolmain::TTool tool("quvintf", kHelp);
  CLI::App& app = tool.App();
  app.require_subcommand(0, 1);
  std::string description;
  std::string output;
  CLI::App* build = app.add_subcommand("build");
  build->add_option("DESCRIPTION", description)->required();
  build->add_option("OUT", output)->required();
  std::string fileName;
  bool asJson = false;
  CLI::App* dump = app.add_subcommand("dump");
  dump->add_flag("--json", asJson);
  dump->add_option("FILE", fileName)->required();
  return tool.Run(argc, argv, [&] {
    if (*build) return Build(description, output);
    if (*dump) return Dump(fileName, asJson);
    throw quv::toolmain::EUsageError("a command is needed: build or dump");
  });
}
