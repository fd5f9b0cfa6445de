#include "appserver/quvFileRequests.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include "platform/ConfinedFolder.h"
#include "platform/Cp1252.h"
#include "platform/StrUtils.h"
#include "platform/Streams.h"
#include "server/common/quvViewStream.h"

namespace quv {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// A request the server answers with a text instead of a file.
class EFileRefused : public Exception {
 public:
  using Exception::Exception;
};

[[noreturn]] void Refuse(std::string_view reason, std::string_view name) {
  throw EFileRefused(std::string(reason) + std::string(name));
}

// The client's name as a path relative to the served folder: '\' becomes
// '/'; empty names, absolute ones, drive letters, NUL bytes and ".." parts
// are refused.
std::string RelativePath(std::string_view name) {
  std::string path(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path.front() == '/' || (path.size() > 1 && path[1] == ':') ||
      path.find('\0') != std::string::npos)
    Refuse("Nome de arquivo recusado: ", name);
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (path.compare(start, end - start, "..") == 0) Refuse("Nome de arquivo recusado: ", name);
    start = end + 1;
  }
  return path;
}

// Why `name` could not be opened, from the system's code of the attempt.
[[noreturn]] void RefuseOpen(std::string_view name, int code) {
  if (code == ENOENT || code == ENOTDIR) Refuse("Arquivo não encontrado: "_cp, name);
  if (code == EXDEV || code == ELOOP) Refuse("Nome de arquivo recusado: ", name);
  Refuse(
      std::string("Erro abrindo o arquivo "_cp) + std::string(name) + ": " + SysErrorMessage(code),
      "");
}

// Answers one request; a refusal becomes a text item.
class TFileAnswer final {
 public:
  TFileAnswer(TquvPackageWriter& writer, const std::string& directory)
      : FWriter(writer), FDirectory(directory) {}

  void Answer(const TquvFileRequest& request) {
    try {
      if (FDirectory.empty()) Refuse("Este servidor não publica arquivos"_cp, "");
      if (!FRoot) OpenRoot();
      if (request.Kind == kFileRequestList)
        SendList(request);
      else
        SendFile(request);
    } catch (const EFileRefused& e) {
      FWriter.WriteText(e.what());
    }
  }

 private:
  void OpenRoot() {
    try {
      FRoot = std::make_unique<TConfinedFolder>(FDirectory);
    } catch (const EOSError& e) {
      RefuseOpen(FDirectory, e.Code());
    }
  }

  void SendFile(const TquvFileRequest& request) {
    const std::string path = RelativePath(request.FileName);
    int64_t size = 0;
    TAutoCloseHandle file;
    try {
      file = FRoot->OpenFile(path, size);
    } catch (const EOSError& e) {
      RefuseOpen(request.FileName, e.Code());
    }
    if (size > INT32_MAX) Refuse("Arquivo grande demais: ", request.FileName);
    THandleStream contents(file.Get());
    FWriter.WriteFile(request.Value, contents, static_cast<int32_t>(size));
  }

  void SendList(const TquvFileRequest& request) {
    const std::string mask = RelativePath(request.FileName);
    const std::size_t slash = mask.rfind('/');
    const std::size_t split = slash == std::string::npos ? 0 : slash + 1;
    // Names come back with the folder part as the client wrote it.
    const std::string prefix = request.FileName.substr(0, split);
    const std::string pattern = mask.substr(split);
    std::vector<std::string> names;
    try {
      names = FRoot->FileNames(split == 0 ? "." : mask.substr(0, split));
    } catch (const EOSError& e) {
      RefuseOpen(request.FileName, e.Code());
    }
    std::erase_if(names, [&](const std::string& name) { return !MatchesFileMask(name, pattern); });
    const int32_t most = request.MaxCount > 0 ? request.MaxCount : INT32_MAX;
    if (static_cast<int64_t>(names.size()) > most) names.resize(static_cast<std::size_t>(most));
    std::string text;
    for (const std::string& name : names) text += prefix + name + std::string(kLineEnd);
    if (text.size() > INT32_MAX) Refuse("Lista grande demais: ", request.FileName);
    TViewStream contents(text);
    FWriter.WriteFile(static_cast<int32_t>(names.size()), contents,
                      static_cast<int32_t>(text.size()));
  }

  TquvPackageWriter& FWriter;
  const std::string& FDirectory;
  std::unique_ptr<TConfinedFolder> FRoot;  // opened at the first request
};

TquvFileRequest ReadRequest(TquvPackage& package) {
  TFileRequestBytes bytes;
  package.ReadExact(bytes.data(), kFileRequestSize);
  return DecodeFileRequest(bytes);
}

[[noreturn]] void RaiseBadSequence() {
  throw EPackageError(std::string(kInconsistentPackageMessage));
}

// The requests of one exchange: one of kind 2 or 3, or the kind-4 ones of a batch.
std::vector<TquvFileRequest> ReadRequests(TquvPackage& package) {
  TquvFileRequest first = ReadRequest(package);
  if (first.Kind == kFileRequestOne || first.Kind == kFileRequestList) return {first};
  std::vector<TquvFileRequest> batch;
  for (TquvFileRequest request = std::move(first); request.Kind != kFileRequestBatchEnd;
       request = ReadRequest(package)) {
    if (request.Kind != kFileRequestBatch || batch.size() >= kMostBatchFiles) RaiseBadSequence();
    batch.push_back(std::move(request));
  }
  return batch;
}

}  // namespace

void ServeFileRequests(TquvPackage& package, TquvPackageWriter& writer,
                       const std::string& directory) {
  const std::vector<TquvFileRequest> requests = ReadRequests(package);
  TFileAnswer answer(writer, directory);
  for (const TquvFileRequest& request : requests) answer.Answer(request);
  package.Flush(TquvPackageWriter::kRequestFlushTimeoutMs);
}

}  // namespace quv
