#pragma once

#include <string>
#include <string_view>

#include "platform/FileIo.h"

// The file operations of the loader: names kept inside the program's
// folder and safe replacement. Reads and date stamps are platform/FileIo's.
namespace quv {

// `name` (a server's name: '\' separates folders) as a path inside `folder`.
// Empty names, absolute ones, drive letters, NUL bytes and ".." parts raise
// ELoaderError "Nome de arquivo fora da pasta do programa: " + name.
std::string PathInFolder(const std::string& folder, std::string_view name);

// `name` made into one file-name component: separators and ':' become '_'.
std::string FlattenedName(std::string_view name);

// Makes `folder` and its parents; raises ELoaderError "Can not create dir".
void ForceFolder(const std::string& folder);

// Puts `content` in place of `fileName` with ReplaceFileAtomically (a new
// file gets mode 0644). Up to 3 attempts; a file in use raises the in-use
// message at once, the third failure the "mesmo após 3 tentativas" message
// with the last reason.
void ReplaceFile(const std::string& fileName, std::string_view content);
// The same with the content that `write` writes to the open temporary file;
// it runs once per attempt.
void ReplaceFileWith(const std::string& fileName, const TContentWriter& write);

}  // namespace quv
