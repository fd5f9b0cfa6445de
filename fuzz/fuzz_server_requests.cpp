// Any bytes, as what a client sends the server after a signature: the first
// byte picks a locator text (answered by the server, and read back as an
// answer by the client) or the file requests that follow "QUFT", answered
// from a small folder of the fuzzer's own. Only the package errors may come
// out of the file exchange; the locator texts raise nothing.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TempFile.h"
#include "appserver/quvFileRequests.h"
#include "appserver/quvLocatorAnswer.h"
#include "tests/kit/BufferConn.h"
#include "transport/quvlocatorclient.h"

namespace {

using namespace quv;

// A folder with one file in a subfolder, made once per process and removed
// at its exit.
class TServedFolder final {
 public:
  TServedFolder() {
    const std::string path = TempDirectory() + "/quvfuzz" + std::to_string(::getpid());
    std::filesystem::create_directories(path + "/apps");
    std::ofstream(path + "/apps/a.quv") << "conteudo";
    FPath = std::filesystem::canonical(path).string();
  }
  ~TServedFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

const std::string& ServedFolder() {
  static const TServedFolder folder;
  return folder.Path();
}

void AnswerLocatorText(std::string_view text) {
  static const TLocatorAnswer answer({"quvtest", "quvsystem"}, "127.0.0.1:6100", 5000);
  const std::string reply = answer.Respond(text);
  ParseLocatorResponse(reply);
  ParseLocatorResponse(text);
}

void AnswerFileRequests(const std::vector<uint8_t>& bytes) {
  testing::TBufferConn conn(bytes);
  conn.SetPeerClosed(true);
  TquvPackage package(conn);
  TquvPackageWriter writer(package);
  try {
    ServeFileRequests(package, writer, ServedFolder());
  } catch (const EPackageError&) {
  } catch (const ENoConnectionError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] % 2 == 0)
    AnswerLocatorText(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  else
    AnswerFileRequests(std::vector<uint8_t>(data + 1, data + size));
  return 0;
}
