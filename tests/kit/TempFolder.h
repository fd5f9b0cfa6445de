#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace quv {

// A fresh folder under the temporary folder, removed with its content.
class TTempFolder final {
 public:
  TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quvtest.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    FPath = pattern;
  }
  ~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  const std::string& Path() const { return FPath; }
  // Writes `content` to `name` inside the folder and returns its full path.
  std::string WriteFile(const std::string& name, const std::string& content) const {
    const std::string path = FPath + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

 private:
  std::string FPath;
};

}  // namespace quv
