#include "loader/quvLoaderFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "loader/quvDiff.h"
#include "loader/quvLoaderError.h"
#include "platform/Cp1252.h"
#include "platform/StrUtils.h"
#include "platform/Streams.h"
#include "platform/UserFolders.h"

namespace quv {

namespace {

constexpr int kReplaceAttempts = 3;
constexpr std::size_t kMostFileNameBytes = 255;
constexpr std::size_t kCachePieceBytes = 240;
constexpr std::string_view kCacheExtension = ".upd";
constexpr std::string_view kLockPrefix = "DMUPD_";
constexpr std::size_t kLockHashDigits = 16;
constexpr std::size_t kCopyPiece = 65536;

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

// `name` as one file-name component that no other name gives: '%' and '~'
// are escaped, and both folder separators become "%2F". No result ends in
// '%', and none holds a '~'.
std::string Escaped(std::string_view name) {
  std::string escaped;
  escaped.reserve(name.size());
  for (const char c : name) {
    if (c == '/' || c == '\\')
      escaped += "%2F";
    else if (c == '%')
      escaped += "%25";
    else if (c == '~')
      escaped += "%7E";
    else
      escaped += c;
  }
  return escaped;
}

// FNV-1a, 64 bits: names a long lock name's whole text within its shortened form.
uint64_t Hash64(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string Hex(uint64_t value, std::size_t digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(digits, '0');
  for (std::size_t i = digits; i-- > 0; value >>= 4) text[i] = kDigits[value & 0xF];
  return text;
}

// Copies `source` from `offset` to `target`; false, with errno set, on failure.
bool CopyFileTo(THandle target, TFileStream& source, int64_t offset) {
  source.SetPosition(offset);
  std::string buffer(kCopyPiece, '\0');
  for (;;) {
    const int32_t got = source.Read(buffer.data(), static_cast<int32_t>(buffer.size()));
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(target, std::string_view(buffer.data(), static_cast<std::size_t>(got))))
      return false;
  }
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

std::string CacheFileName(std::string_view remoteName) {
  const std::string escaped = Escaped(remoteName);
  if (escaped.size() + kCacheExtension.size() <= kMostFileNameBytes)
    return escaped + std::string(kCacheExtension);
  std::string path;
  std::size_t at = 0;
  for (; escaped.size() - at > kCachePieceBytes; at += kCachePieceBytes)
    path += escaped.substr(at, kCachePieceBytes) + "%/";
  return path + escaped.substr(at) + std::string(kCacheExtension);
}

std::string FileLockName(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
  if (absolute.empty()) absolute = path;
  const std::string name = std::string(kLockPrefix) + Escaped(absolute.lexically_normal().string());
  if (name.size() <= kMostLockNameBytes) return name;
  return name.substr(0, kMostLockNameBytes - kLockHashDigits - 1) + "~" +
         Hex(Hash64(name), kLockHashDigits);
}

bool MatchesListMask(std::string_view name, std::string_view mask) {
  const std::size_t separator = mask.find_last_of("\\/");
  const std::size_t split = separator == std::string_view::npos ? 0 : separator + 1;
  if (name.substr(0, split) != mask.substr(0, split)) return false;
  const std::string_view bare = name.substr(split);
  return !bare.empty() && bare.find_first_of("\\/") == std::string_view::npos &&
         MatchesFileMask(bare, mask.substr(split));
}

void ForceFolder(const std::string& folder) {
  if (!ForceDirectories(folder)) throw ELoaderError("Can not create dir");
}

void ReplaceFile(const std::string& fileName, std::string_view content, uint32_t newFileMode) {
  ReplaceFileWith(
      fileName, [content](THandle file) { return WriteAll(file, content); }, newFileMode);
}

void ReplaceFileWith(const std::string& fileName, const TContentWriter& write,
                     uint32_t newFileMode) {
  int error = 0;
  for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
    try {
      ReplaceFileAtomically(fileName, write, newFileMode);
      return;
    } catch (const EFileError& e) {
      error = e.Code();
    }
    if (error == ETXTBSY || error == EBUSY) throw ELoaderError(InUseMessage(fileName));
  }
  throw ELoaderError(GaveUpMessage(fileName, SysErrorMessage(error)));
}

void ReplaceFileFrom(const std::string& fileName, const std::string& source, int64_t offset,
                     uint32_t newFileMode) {
  TFileStream in(source, TFileMode::OpenRead);
  ReplaceFileWith(
      fileName, [&](THandle file) { return CopyFileTo(file, in, offset); }, newFileMode);
}

uint32_t FileCrc32(const std::string& fileName, int64_t offset) {
  TFileStream in(fileName, TFileMode::OpenRead);
  in.SetPosition(offset);
  std::string buffer(kCopyPiece, '\0');
  uint32_t crc = 0;
  for (;;) {
    const int32_t got = in.Read(buffer.data(), static_cast<int32_t>(buffer.size()));
    if (got < 0) throw EFileError(fileName, errno);
    if (got == 0) return crc;
    crc = Crc32Bytes(buffer.data(), static_cast<std::size_t>(got), crc);
  }
}

}  // namespace quv
