#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileIo.h"

// The file operations of the loader: names kept inside the program's
// folder, the names of cached descriptors and locks, and safe replacement.
// Reads and date stamps are platform/FileIo's.
namespace quv {

// The mode of a new file that nothing else gives one.
inline constexpr uint32_t kNewFileMode = 0644;
// ...and of a new program.
inline constexpr uint32_t kNewProgramMode = 0755;

// `name` (a server's name: '\' separates folders) as a path inside `folder`.
// Empty names, absolute ones, drive letters, NUL bytes and ".." parts raise
// ELoaderError "Nome de arquivo fora da pasta do programa: " + name.
std::string PathInFolder(const std::string& folder, std::string_view name);

// The cached descriptor of the server's file `remoteName`, relative to the
// cache folder: the name with '%' written "%25", '~' "%7E" and each folder
// separator ('\' and '/', which the server reads alike) "%2F", then ".upd".
// Two different files never share one. When that is longer than a file name
// may be (255 bytes), it is cut into folders of 240 bytes, each name ending
// in '%' (an escaped name never does), and the rest.
std::string CacheFileName(std::string_view remoteName);

// The named lock (platform/NamedMutex) of the local file `path`: "DMUPD_"
// and its absolute path escaped as for CacheFileName. One that would be
// longer than 250 bytes (its lock file adds ".lock" within the 255 bytes of
// a file name) keeps its first 233 bytes and ends in '~' and 16 hexadecimal
// digits of a 64-bit hash of the whole name.
std::string FileLockName(const std::string& path);
inline constexpr std::size_t kMostLockNameBytes = 250;

// Whether `name`, an entry of the server's list for `mask`, is one the mask
// asks for: the mask's folder part ("apps\" of "apps\*!*.quv") as written,
// then a bare name that matches the rest ('*' any run, '?' any byte, ASCII
// letters without regard to case).
bool MatchesListMask(std::string_view name, std::string_view mask);

// Makes `folder` and its parents; raises ELoaderError "Can not create dir".
void ForceFolder(const std::string& folder);

// Puts `content` in place of `fileName` with ReplaceFileAtomically: the
// replaced file's mode is kept, a new file gets `newFileMode` less the
// umask. Up to 3 attempts; a file in use raises the in-use message at once,
// the third failure the "mesmo após 3 tentativas" message with the last
// reason.
void ReplaceFile(const std::string& fileName, std::string_view content,
                 uint32_t newFileMode = kNewFileMode);
// The same with the content that `write` writes to the open temporary file;
// it runs once per attempt. An exception it raises passes on at once.
void ReplaceFileWith(const std::string& fileName, const TContentWriter& write,
                     uint32_t newFileMode = kNewFileMode);
// The same with the bytes of the file `source` from `offset` on, copied in
// pieces (nothing of its size is held); EFOpenError when it cannot be opened.
void ReplaceFileFrom(const std::string& fileName, const std::string& source, int64_t offset,
                     uint32_t newFileMode = kNewFileMode);

// The CRC-32 of the file `fileName` from `offset` on, read in pieces; raises
// EFOpenError or EFileError when it cannot be read.
uint32_t FileCrc32(const std::string& fileName, int64_t offset = 0);

}  // namespace quv
