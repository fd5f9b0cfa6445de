#include "loader/quvLoader.h"

#include "loader/quvLoaderError.h"
#include "loader/quvLoaderFiles.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "transport/quvClientConn.h"
#include "transport/quvpack.h"

namespace quv {

namespace {

constexpr std::size_t kMostNameBytes = 255;

TquvFileRequest Request(uint8_t kind, const std::string& name, int32_t value) {
  if (name.size() > kMostNameBytes) throw ELoaderError("Nome de arquivo longo demais: " + name);
  return TquvFileRequest{kind, name, value, kind == kFileRequestList ? INT32_MAX : 0};
}

std::string Bytes(const TMemoryStream& stream) {
  const TByteView bytes = stream.Bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The names of a list answer, one per CR LF line.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// The limits of a transfer that starts now: at most `maxBytes`, and done in time.
TquvFileLimits Limits(int64_t maxBytes) {
  return TquvFileLimits{maxBytes, TquvLoader::kTransferFloorMs, TquvLoader::kSlowestBytesPerSecond,
                        Clock().TickCount()};
}

// A transfer beyond its limits, named after the file.
[[noreturn]] void RaiseLimit(const std::string& remoteName, const ETransferLimitError& e) {
  throw ELoaderError("Erro recebendo " + remoteName + ": " + e.what());
}

}  // namespace

struct TquvLoader::TExchange {
  explicit TExchange(const std::string& address) : Conn(address, true) {}
  TClientConn Conn;
  TquvPackage Package{Conn};
  TquvPackageWriter Writer{Package};
  TquvPackageReader Reader{Package};

  // The answer's size, as announced.
  int32_t ReadInto(TStream& stream, const TquvFileLimits& limits) {
    int32_t value = 0, size = 0;
    Reader.ReadFile(stream, value, true, size, limits);
    return size;
  }
};

TquvLoader::TquvLoader(std::string address) : FAddress(std::move(address)) {}

TquvLoader::~TquvLoader() = default;

void TquvLoader::GetConnection() {
  if (FExchange) return;
  try {
    FExchange = std::make_unique<TExchange>(FAddress);
  } catch (const Exception&) {
    throw ELoaderError(std::string("Não foi possível conectar ao servidor"_cp));
  }
}

void TquvLoader::ReleaseConnection() { FExchange.reset(); }

template <class F>
auto TquvLoader::Exchange(F&& exchange) {
  GetConnection();
  const int32_t previous = FExchange->Conn.SetTimeout(kTransferTimeoutMs);
  try {
    auto result = exchange(*FExchange);
    FExchange->Conn.SetTimeout(previous);
    return result;
  } catch (const ERemoteFileError&) {
    FExchange->Conn.SetTimeout(previous);
    throw;
  } catch (...) {
    ReleaseConnection();
    throw;
  }
}

void TquvLoader::GetFile(const std::string& remoteName, const std::string&, int32_t tag,
                         TStream& stream, int64_t maxBytes) {
  const TquvFileRequest request = Request(kFileRequestOne, remoteName, tag);
  try {
    Exchange([&](TExchange& exchange) {
      const TquvFileLimits limits = Limits(maxBytes);
      exchange.Writer.WriteFileRequest(request);
      exchange.ReadInto(stream, limits);
      return true;
    });
  } catch (const ETransferLimitError& e) {
    RaiseLimit(remoteName, e);
  }
}

std::vector<std::string> TquvLoader::ListFiles(const std::string& mask) {
  const TquvFileRequest request = Request(kFileRequestList, mask, 0);
  std::vector<std::string> names;
  try {
    names = Exchange([&](TExchange& exchange) {
      const TquvFileLimits limits = Limits(kMaxListBytes);
      exchange.Writer.WriteFileRequest(request);
      TMemoryStream list;
      exchange.ReadInto(list, limits);
      return Lines(Bytes(list));
    });
  } catch (const ETransferLimitError& e) {
    RaiseLimit(mask, e);
  }
  std::erase_if(names, [&](const std::string& name) {
    if (MatchesListMask(name, mask)) return false;
    OutputDebugString(std::string("Nome fora da máscara "_cp) + mask + ": " + name);
    return true;
  });
  return names;
}

std::vector<std::string> TquvLoader::RequestFiles(const std::vector<std::string>& remoteNames) {
  OutputDebugString("Requisitando arquivos...");
  std::vector<TquvFileRequest> requests;
  int32_t value = 0;
  for (const std::string& name : remoteNames)
    requests.push_back(Request(kFileRequestBatch, name, ++value));
  return Exchange([&](TExchange& exchange) {
    exchange.Writer.BeginFileRequests();
    for (const TquvFileRequest& request : requests) exchange.Writer.WriteFileRequest(request);
    exchange.Writer.WriteFileRequest(TquvFileRequest{kFileRequestBatchEnd, "", 0, 0});
    exchange.Writer.EndFileRequests();
    // Every answer is read, so that a refusal leaves the connection in step.
    std::vector<std::string> contents;
    std::string refusal;
    int64_t budget = kMaxWholeFileBytes;
    for (std::size_t i = 0; i < requests.size(); ++i) {
      TMemoryStream content;
      try {
        budget -= exchange.ReadInto(content, Limits(budget));
      } catch (const ERemoteFileError& e) {
        if (refusal.empty()) refusal = e.what();
      } catch (const ETransferLimitError& e) {
        RaiseLimit(requests[i].FileName, e);
      }
      contents.push_back(Bytes(content));
    }
    if (!refusal.empty()) throw ERemoteFileError(refusal);
    return contents;
  });
}

}  // namespace quv
