#include "loader/quvRegistryLoader.h"

#include <algorithm>

namespace quv {

namespace {

// The last part of a server's name, '\' and '/' both separating folders.
std::string BareName(const std::string& remoteName) {
  const std::size_t separator = remoteName.find_last_of("\\/");
  return separator == std::string::npos ? remoteName : remoteName.substr(separator + 1);
}

}  // namespace

TquvRegistryLoader::TquvRegistryLoader(const std::string& address) : FLoader(address) {
  SetInterfaceLoader(this);
}

TquvRegistryLoader::~TquvRegistryLoader() { SetInterfaceLoader(nullptr); }

void TquvRegistryLoader::UpdateFile(const std::string& folder, const std::string& fileName) {
  const std::lock_guard<std::mutex> guard(FLock);
  FLoader.Update(folder, fileName);
}

std::vector<std::string> TquvRegistryLoader::UpdateFileList(const std::string& folder,
                                                            const std::string& pattern) {
  const std::lock_guard<std::mutex> guard(FLock);
  std::vector<std::string> names;
  for (const std::string& remoteName : FLoader.ListFiles(pattern)) {
    names.push_back(BareName(remoteName));
    FLoader.Update(folder, remoteName, names.back());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quv
