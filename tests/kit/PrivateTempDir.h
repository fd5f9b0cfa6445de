#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/kit/TempFolder.h"

namespace quv::testing {

// Points $TMPDIR at a fresh folder while it lives, so that the temporary files
// a test makes can be counted and are removed with the folder.
class TPrivateTempDir final {
 public:
  TPrivateTempDir() {
    const char* old = getenv("TMPDIR");
    FHadOld = old != nullptr;
    if (FHadOld) FOld = old;
    setenv("TMPDIR", FFolder.Path().c_str(), 1);
  }
  ~TPrivateTempDir() {
    if (FHadOld)
      setenv("TMPDIR", FOld.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  TPrivateTempDir(const TPrivateTempDir&) = delete;
  TPrivateTempDir& operator=(const TPrivateTempDir&) = delete;

  const std::string& Path() const { return FFolder.Path(); }
  int FileCount() const {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(Path())) ++count;
    return count;
  }

 private:
  TTempFolder FFolder;
  std::string FOld;
  bool FHadOld = false;
};

}  // namespace quv::testing
