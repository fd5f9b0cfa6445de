#pragma once

#include <string>

namespace quv {

// Full path of the running executable.
std::string ExecutablePath();

// The folder of a path, without the trailing separator ("/a/b/c" gives "/a/b").
std::string ExtractFileDir(const std::string& path);

// The last component of a path ("/a/b/c" gives "c").
std::string ExtractFileName(const std::string& path);

}  // namespace quv
