#include "loader/quvLoaderFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "loader/quvLoaderError.h"
#include "platform/Cp1252.h"
#include "platform/FileHandle.h"
#include "platform/UserFolders.h"

namespace quv {

namespace {

constexpr int kReplaceAttempts = 3;
constexpr std::string_view kTempSuffix = ".~tmp";

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

// Writes a fresh `fileName` with `write`; the errno of a failure, else 0.
int WriteNewFile(const std::string& fileName, const std::function<bool(THandle)>& write) {
  TAutoCloseHandle file(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file.Valid()) return errno;
  errno = 0;
  if (!write(file.Get()) || ::fsync(file.Get()) != 0) return errno != 0 ? errno : EIO;
  return 0;
}

// One attempt at the replacement; the errno of a failure, else 0.
int TryReplace(const std::string& fileName, const std::function<bool(THandle)>& write) {
  const std::string temp = fileName + std::string(kTempSuffix);
  int error = WriteNewFile(temp, write);
  if (error == 0 && ::rename(temp.c_str(), fileName.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temp.c_str());
  return error;
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

std::string ReadWholeFile(const std::string& fileName) {
  TAutoCloseHandle file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.Valid()) throw ELoaderError(fileName + ": " + SysErrorMessage(errno));
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
    if (got < 0) throw ELoaderError(fileName + ": " + SysErrorMessage(errno));
    if (got == 0) return content;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

void ReplaceFile(const std::string& fileName, std::string_view content) {
  ReplaceFileWith(fileName, [content](THandle file) { return WriteAll(file, content); });
}

void ReplaceFileWith(const std::string& fileName, const std::function<bool(THandle)>& write) {
  int error = 0;
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    error = TryReplace(fileName, write);
    if (error == 0) return;
    if (error == ETXTBSY || error == EBUSY) throw ELoaderError(InUseMessage(fileName));
  }
  throw ELoaderError(GaveUpMessage(fileName, SysErrorMessage(error)));
}

int64_t FileAge(const std::string& fileName) {
  struct stat status {};
  return ::stat(fileName.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_mtime) : 0;
}

void SetFileAge(const std::string& fileName, int64_t age) {
  const timespec times[2] = {{static_cast<time_t>(age), 0}, {static_cast<time_t>(age), 0}};
  if (::utimensat(AT_FDCWD, fileName.c_str(), times, 0) != 0)
    throw ELoaderError(fileName + ": " + SysErrorMessage(errno));
}

bool FileExists(const std::string& fileName) {
  struct stat status {};
  return ::stat(fileName.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace quv
