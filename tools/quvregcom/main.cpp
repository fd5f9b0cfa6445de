// quvregcom: registers component libraries in a process of its own, for the
// loader's files whose descriptors ask for "RegisterWithProgram".

#include <string>
#include <vector>

#include "loader/quvLoaderPrograms.h"
#include "platform/ProgramIo.h"
#include "server/common/quvProcessScope.h"
#include "tools/common/ToolMain.h"

namespace {

constexpr const char* kHelp = R"help(Usage:
  quvregcom FILE...
      load each component library FILE and call its "DllRegisterServer";
      exits with status 0 when every one returned 0, else reports the first
      that could not be loaded or registered with status 1
  quvregcom --help | --version

The loader starts it from the program's folder with the library's full
name and reads its exit status.
)help";

}  // namespace

int main(int argc, char** argv) {
  const quv::TProcessScope scope;
  quv::toolmain::TTool tool("quvregcom", kHelp);
  std::vector<std::string> files;
  tool.App().add_option("FILE", files)->required();
  return tool.Run(argc, argv, [&] {
    for (const std::string& file : files) quv::RegisterComponentInProcess(file);
    return quv::program::kExitSuccess;
  });
}
