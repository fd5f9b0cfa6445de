// quvintf: builds interface files from JSON descriptions and dumps them.

#include <iostream>
#include <string>
#include <vector>

#include "tools/common/ToolFiles.h"
#include "tools/quvintf/IntfDescription.h"
#include "tools/quvintf/IntfDump.h"

namespace {

constexpr const char* kHelp = R"(Usage:
  quvintf build DESCRIPTION.json OUT.quv   build an interface file
  quvintf dump [--json] FILE.quv           show an interface file (--json: as a description)
  quvintf --help                           this text

A description is a JSON object (texts in UTF-8; they are stored as
Windows-1252):

  "library"     the library name; when given it must be OUT's base name
  "interfaces"  a list of interfaces, stored in this order; each has
    "name"        module.interface (required)
    "kind", "flag", "word2"  index bytes (0 to 255, default 0)
    "word1"       index number (-32768 to 32767, default -1)
    "extraText"   index text, at most 255 bytes (with word1 = 2: the
                  module.interface that this interface extends)
    "descriptor", "text1", "text2", "text3"     header texts
    "kindByte", "word3", "byte1", "byte2", "byte4"  header numbers
    "groups"      a list of groups: "name" (required), "number",
                  "byteA", "byteB", "byteC", "textA", "textB"; groups with
                  byteB 0 belong to the first set, the others to the second
    "fields"      the fields of the first set (parameters and reply)
    "fields2"     the fields of the second set
  A field has "name" and "type" (one of N + A I R B D T H M, required),
  "size", "decimals", "flags" (16 = required, 4096 = carries text15),
  "displayWidth", "group" (a group of its set), "constraint", "reference",
  "text1" to "text13", "text15", "byte1" to "byte3".
  Numbers default to 0 and texts to "". Unknown keys are errors.

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

`quvintf dump --json FILE.quv` prints the description of a file; building
it again gives the same bytes.
)";

int Build(const std::string& description, const std::string& output) {
  const std::string bytes =
      quv::intftool::BuildInterfaceFile(description, quv::toolfiles::ReadWholeFile(description),
                                        quv::toolfiles::LibraryNameOf(output));
  quv::toolfiles::ReplaceFile(output, bytes);
  return 0;
}

int Dump(const std::string& fileName, bool asJson) {
  const quv::intftool::TDumpedFile file =
      quv::intftool::ReadInterfaceFile(fileName, quv::toolfiles::ReadWholeFile(fileName));
  if (asJson)
    std::cout << quv::intftool::DumpAsJson(file, quv::toolfiles::LibraryNameOf(fileName)).dump(2)
              << "\n";
  else
    std::cout << quv::intftool::DumpAsText(file, fileName);
  return 0;
}

int Usage() {
  std::cerr << kHelp;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
      std::cout << kHelp;
      return 0;
    }
    if (args.size() == 3 && args[0] == "build") return Build(args[1], args[2]);
    if (args.size() == 2 && args[0] == "dump") return Dump(args[1], false);
    if (args.size() == 3 && args[0] == "dump" && args[1] == "--json") return Dump(args[2], true);
    return Usage();
  } catch (const std::exception& e) {
    std::cerr << "quvintf: " << e.what() << "\n";
    return 1;
  }
}
