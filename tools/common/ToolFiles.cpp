#include "tools/common/ToolFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/Exception.h"
#include "platform/ExePath.h"

namespace quv::toolfiles {

std::string ReadWholeFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw Exception("cannot read " + fileName);
  return ReadWholeStream(in);
}

std::string ReadWholeStream(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ReplaceFile(const std::string& fileName, const std::string& bytes) {
  const std::string temporary = fileName + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw Exception("cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), fileName.c_str()) != 0)
    throw Exception("cannot replace " + fileName + ": " + std::strerror(errno));
}

std::string LibraryNameOf(const std::string& fileName) {
  const std::string base = ExtractFileName(fileName);
  return base.substr(0, base.rfind('.'));
}

}  // namespace quv::toolfiles
