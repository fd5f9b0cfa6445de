#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "loader/quvLoader.h"
#include "server/common/quvIntfRegistry.h"

namespace quv {

// The interface registry's way to the server: installs itself as the
// registry's loader while it lives and brings interface files, companions
// and extension files up to date through one TquvLoader. Thread-safe.
class TquvRegistryLoader final : public IquvInterfaceLoader {
 public:
  explicit TquvRegistryLoader(const std::string& address);
  ~TquvRegistryLoader() override;
  TquvRegistryLoader(const TquvRegistryLoader&) = delete;
  TquvRegistryLoader& operator=(const TquvRegistryLoader&) = delete;

  void UpdateFile(const std::string& folder, const std::string& fileName) override;
  // Each file the server lists (with its folder, "apps\x!y.quv") is brought
  // up to date under its bare name in `folder`; those names come back.
  std::vector<std::string> UpdateFileList(const std::string& folder,
                                          const std::string& pattern) override;

 private:
  std::mutex FLock;
  TquvLoader FLoader;
};

}  // namespace quv
