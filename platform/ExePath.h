#pragma once

#include <string>

namespace quv {

// Full path of the running executable.
std::string ExecutablePath();

// The folder the program reads its data files from (interface files, the
// caption dictionary): `<prefix>/share/quv` when the executable lies in a
// folder `<prefix>/bin` beside which that folder exists, as an installed
// program does; otherwise the executable's own folder, as in a build tree.
// Nothing about the build is compiled in, so an installation may be moved.
std::string ProgramDataFolder();
// The same rule for the executable at `executablePath`.
std::string DataFolderOf(const std::string& executablePath);

// The folder of a path, without the trailing separator ("/a/b/c" gives "/a/b").
std::string ExtractFileDir(const std::string& path);

// The last component of a path ("/a/b/c" gives "c").
std::string ExtractFileName(const std::string& path);

}  // namespace quv
