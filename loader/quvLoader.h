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
               TStream& stream, int64_t maxBytes) override;
  // Each file is held in memory: all of them together may be at most
  // kMaxWholeFileBytes (256 MiB) as announced.
  std::vector<std::string> RequestFiles(const std::vector<std::string>& remoteNames) override;
  // Raises ELoaderError "Não foi possível conectar ao servidor" when the
  // server cannot be reached.
  void GetConnection() override;
  void ReleaseConnection() override;

  // The wait of each read while a file comes in.
  static constexpr int32_t kTransferTimeoutMs = 60000;
  // Every transfer must end within this, and a second more for each
  // kSlowestBytesPerSecond bytes announced, of the process clock (a server
  // that sends a block now and then cannot hold an update for long).
  static constexpr uint32_t kTransferFloorMs = 120000;
  static constexpr int32_t kSlowestBytesPerSecond = 16384;

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
