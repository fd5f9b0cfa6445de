#pragma once

#include <string>

namespace quv {

// Extracts every entry of the zip archive `archive` into `folder`, keeping
// its folders and overwriting files already there. The names are checked
// before anything is written: an entry that would land outside the folder
// ("..", an absolute name) or is a symbolic link refuses the whole archive
// with ELoaderError. Each file is put in place whole (ReplaceFile): one it
// replaces keeps its mode, a new one takes the permission bits the archive
// stored for it on a Unix host, else 0644 (less the umask).
void UnpackArchive(const std::string& archive, const std::string& folder);

}  // namespace quv
