#pragma once

#include <iosfwd>
#include <string>

// Whole-file input and output of the command-line tools.
namespace quv::toolfiles {

// The bytes of `fileName`; raises "cannot read FILE".
std::string ReadWholeFile(const std::string& fileName);
// The bytes left in `in` (standard input, say).
std::string ReadWholeStream(std::istream& in);
// Writes `bytes` to `fileName` through a temporary file beside it, so that a
// failed write leaves an existing file as it was.
void ReplaceFile(const std::string& fileName, const std::string& bytes);
// The library of an interface file: its base name without the extension.
std::string LibraryNameOf(const std::string& fileName);

}  // namespace quv::toolfiles
