#include "tools/common/ToolFiles.h"

#include "platform/Cp1252.h"
#include "platform/ExePath.h"
#include "platform/FileIo.h"
#include "platform/ProgramIo.h"
#include "tools/common/ToolMain.h"

namespace quv::toolfiles {

namespace {

using toolmain::EToolError;

// A file the tools make has the usual mode of new files: 0666 less the umask.
constexpr uint32_t kNewFileMode = 0666;

}  // namespace

std::string ReadNamedFile(const std::string& fileName) {
  try {
    return program::ReadInputFile(fileName);
  } catch (const EFileError& e) {
    throw EToolError(e.what());
  }
}

std::string ReadFileOrStandardInput(const std::string& fileName) {
  if (fileName != "-") return ReadNamedFile(fileName);
  try {
    return program::ReadStandardInput();
  } catch (const EFileError& e) {
    throw EToolError(e.what());
  }
}

void ReplaceFile(const std::string& fileName, const std::string& bytes) {
  try {
    ReplaceFileAtomically(fileName, bytes, kNewFileMode);
  } catch (const EFileError& e) {
    throw EToolError(std::string("cannot write ") + e.what());
  }
}

std::string LibraryNameOf(const std::string& fileName) {
  const std::string base = ExtractFileName(fileName);
  try {
    return Utf8ToCp1252Exact(base.substr(0, base.rfind('.')));
  } catch (const ECodePageError& e) {
    throw EToolError("the library name of " + fileName + ": " + e.what());
  }
}

}  // namespace quv::toolfiles
