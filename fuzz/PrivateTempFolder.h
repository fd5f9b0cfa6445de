#pragma once

// Serialised recordsets may name row files in the temporary folder, which
// the reader opens and removes: a fuzz target points $TMPDIR at a folder of
// its own, so that no input reaches the files of other programs.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace quv::fuzz {

// Made on the first call and removed at the process's exit.
class TPrivateTempFolder final {
 public:
  TPrivateTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quvfuzz.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    FPath = pattern;
    setenv("TMPDIR", FPath.c_str(), 1);
  }
  ~TPrivateTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TPrivateTempFolder(const TPrivateTempFolder&) = delete;
  TPrivateTempFolder& operator=(const TPrivateTempFolder&) = delete;

 private:
  std::string FPath;
};

inline void UsePrivateTempFolder() { static const TPrivateTempFolder folder; }

}  // namespace quv::fuzz
