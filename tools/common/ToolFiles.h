#pragma once

#include <string>

// Whole-file input and output of the command-line tools. Messages name the
// file as it was given and say why it failed.
namespace quv::toolfiles {

// The bytes of the file `fileName`; raises EToolError "FILE: REASON" when it
// is missing, unreadable, a directory, empty or too large.
std::string ReadNamedFile(const std::string& fileName);
// The bytes of `fileName`, or of standard input for "-".
std::string ReadFileOrStandardInput(const std::string& fileName);
// Writes `bytes` to `fileName` with ReplaceFileAtomically, so that a failed
// write leaves an existing file as it was; raises EToolError "cannot write
// FILE: REASON".
void ReplaceFile(const std::string& fileName, const std::string& bytes);
// The library of an interface file: its base name without the extension, in
// Windows-1252; raises EToolError for a name with a character outside it.
std::string LibraryNameOf(const std::string& fileName);

}  // namespace quv::toolfiles
