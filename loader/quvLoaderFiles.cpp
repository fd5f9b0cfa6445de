#include "loader/quvLoaderFiles.h"

#include <algorithm>
#include <cerrno>

#include "loader/quvLoaderError.h"
#include "platform/Cp1252.h"
#include "platform/UserFolders.h"

namespace quv {

namespace {

constexpr int kReplaceAttempts = 3;
constexpr uint32_t kNewFileMode = 0644;

std::string InUseMessage(const std::string& fileName) {
  return std::string("O arquivo ") + fileName +
         std::string(" foi atualizado, mas está sendo utilizado por algum programa.\r\n"_cp) +
         "Feche o programa e abra-o novamente.\r\n" +
         "Persistindo a mensagem reinicie o computador.";
}

std::string GaveUpMessage(const std::string& fileName, const std::string& lastError) {
  return std::string("Não foi possível atualizar o arquivo "_cp) + fileName +
         std::string(" mesmo após "_cp) + std::to_string(kReplaceAttempts) +
         " tentativas. O arquivo pode estar corrompido no servidor, por favor contacte o "
         "administrador.\r\n\r\n" +
         std::string("Último erro:"_cp) + lastError;
}

}  // namespace

std::string PathInFolder(const std::string& folder, std::string_view name) {
  std::string path(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  bool refused = path.empty() || path.front() == '/' || (path.size() > 1 && path[1] == ':') ||
                 path.find('\0') != std::string::npos;
  for (std::size_t start = 0; !refused && start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    refused = path.compare(start, end - start, "..") == 0;
    start = end + 1;
  }
  if (refused)
    throw ELoaderError("Nome de arquivo fora da pasta do programa: " + std::string(name));
  return folder + "/" + path;
}

std::string FlattenedName(std::string_view name) {
  std::string flat(name);
  for (char& c : flat)
    if (c == '/' || c == '\\' || c == ':') c = '_';
  return flat;
}

void ForceFolder(const std::string& folder) {
  if (!ForceDirectories(folder)) throw ELoaderError("Can not create dir");
}

void ReplaceFile(const std::string& fileName, std::string_view content) {
  ReplaceFileWith(fileName, [content](THandle file) { return WriteAll(file, content); });
}

void ReplaceFileWith(const std::string& fileName, const TContentWriter& write) {
  int error = 0;
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    try {
      ReplaceFileAtomically(fileName, write, kNewFileMode);
      return;
    } catch (const EFileError& e) {
      error = e.Code();
    }
    if (error == ETXTBSY || error == EBUSY) throw ELoaderError(InUseMessage(fileName));
  }
  throw ELoaderError(GaveUpMessage(fileName, SysErrorMessage(error)));
}

}  // namespace quv
