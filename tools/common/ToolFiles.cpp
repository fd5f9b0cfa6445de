#include "tools/common/ToolFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/Cp1252.h"
#include "platform/ExePath.h"
#include "platform/FileHandle.h"
#include "platform/ProgramIo.h"
#include "tools/common/ToolMain.h"

namespace quv::toolfiles {

namespace {

using toolmain::EToolError;

[[noreturn]] void FailWrite(const std::string& fileName, int code) {
  throw EToolError("cannot write " + fileName + ": " + SysErrorMessage(code));
}

// Writes `bytes` to the new file `path`; failures name `fileName`, the file
// the caller wants written.
void WriteNewFile(const std::string& path, const std::string& fileName, const std::string& bytes) {
  TAutoCloseHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file.Valid()) FailWrite(fileName, errno);
  if (!WriteAll(file.Get(), bytes) || ::close(file.Detach()) != 0) {
    const int code = errno;
    std::remove(path.c_str());
    FailWrite(fileName, code);
  }
}

}  // namespace

std::string ReadNamedFile(const std::string& fileName) {
  try {
    return program::ReadInputFile(fileName);
  } catch (const Exception& e) {
    throw EToolError(e.what());
  }
}

std::string ReadFileOrStandardInput(const std::string& fileName) {
  if (fileName != "-") return ReadNamedFile(fileName);
  try {
    return program::ReadStandardInput();
  } catch (const Exception& e) {
    throw EToolError(e.what());
  }
}

void ReplaceFile(const std::string& fileName, const std::string& bytes) {
  const std::string temporary = fileName + ".tmp";
  WriteNewFile(temporary, fileName, bytes);
  if (std::rename(temporary.c_str(), fileName.c_str()) != 0) {
    const int code = errno;
    std::remove(temporary.c_str());
    FailWrite(fileName, code);
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
