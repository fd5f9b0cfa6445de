#pragma once

#include <memory>
#include <string>
#include <vector>

#include "loader/quvCustomLoader.h"

namespace quv {

class TClientConn;
class TquvPackage;
class TquvPackageReader;
class TquvPackageWriter;

// The loader that reaches a server through the file exchange of the package
// protocol over its own client connection ("Loader Remote Connection"),
// made on first need and kept until released. One thread at a time.
class TquvLoader : public TCustomLoader {
 public:
  // `address` is "host" or "host:port".
  explicit TquvLoader(std::string address);
  ~TquvLoader() override;

  std::vector<std::string> ListFiles(const std::string& mask) override;
  void GetFile(const std::string& remoteName, const std::string& localName, int32_t tag,
               TStream& stream) override;
  std::vector<std::string> RequestFiles(const std::vector<std::string>& remoteNames) override;
  // Raises ELoaderError "Não foi possível conectar ao servidor" when the
  // server cannot be reached.
  void GetConnection() override;
  void ReleaseConnection() override;

  static constexpr int32_t kTransferTimeoutMs = 60000;

 private:
  struct TExchange;
  // Runs `exchange` with the connection's wait at kTransferTimeoutMs; a
  // failure other than the server's refusal drops the connection.
  template <class F>
  auto Exchange(F&& exchange);

  std::string FAddress;
  std::unique_ptr<TExchange> FExchange;
};

}  // namespace quv
