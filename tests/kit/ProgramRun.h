#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace quv::testing {

// The bytes of a file ("" when it cannot be read).
inline std::string FileBytes(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How often `part` stands in `text`, overlapping runs included.
inline std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// What a program run through the shell did.
struct TProgramRun {
  int Status;  // the exit status; -1 when it did not exit by itself
  std::string Out;
  std::string Err;
};

// Runs the shell command `command` with standard output and standard error
// caught in files of the folder `folder` (which the caller owns).
inline TProgramRun RunProgram(const std::string& folder, const std::string& command) {
  const std::string out = folder + "/run.out";
  const std::string err = folder + "/run.err";
  const int status = std::system(("(" + command + ") >" + out + " 2>" + err).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, FileBytes(out), FileBytes(err)};
}

}  // namespace quv::testing
