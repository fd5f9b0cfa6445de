#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/FileHandle.h"

// The file operations of the loader: names kept inside the program's
// folder, whole-file reads, safe replacement and date stamps.
namespace quv {

// `name` (a server's name: '\' separates folders) as a path inside `folder`.
// Empty names, absolute ones, drive letters, NUL bytes and ".." parts raise
// ELoaderError "Nome de arquivo fora da pasta do programa: " + name.
std::string PathInFolder(const std::string& folder, std::string_view name);

// `name` made into one file-name component: separators and ':' become '_'.
std::string FlattenedName(std::string_view name);

// Makes `folder` and its parents; raises ELoaderError "Can not create dir".
void ForceFolder(const std::string& folder);

// The bytes of `fileName`; raises ELoaderError naming the file and the reason.
std::string ReadWholeFile(const std::string& fileName);

// Puts `content` in place of `fileName` through "<fileName>.~tmp" and a
// rename, so the file holds either its old or its new content. Up to 3
// attempts; a file in use raises the in-use message at once, the third
// failure the "mesmo após 3 tentativas" message with the last reason.
void ReplaceFile(const std::string& fileName, std::string_view content);
// The same with the content that `write` writes to the open temporary file;
// it returns false with errno set when it fails, and runs once per attempt.
void ReplaceFileWith(const std::string& fileName, const std::function<bool(THandle)>& write);

// The modification time of `fileName` in seconds since 1970; 0 when missing.
int64_t FileAge(const std::string& fileName);
// Sets it; raises ELoaderError when it cannot be set.
void SetFileAge(const std::string& fileName, int64_t age);

bool FileExists(const std::string& fileName);

}  // namespace quv
