// Where a program finds its data files: in a build tree beside itself, in an
// installation under <prefix>/share/quv, whatever the prefix.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/ExePath.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

TEST(ProgramDataFolder, InstalledProgramReadsTheSharedFolderOfItsOwnPrefix) {
  const TTempFolder root;
  std::filesystem::create_directories(root.Path() + "/opt/quv/bin");
  std::filesystem::create_directories(root.Path() + "/opt/quv/share/quv");
  EXPECT_EQ(DataFolderOf(root.Path() + "/opt/quv/bin/quvcall"),
            root.Path() + "/opt/quv/share/quv");
}

TEST(ProgramDataFolder, ProgramOutsideAnInstallationReadsItsOwnFolder) {
  const TTempFolder root;
  // A build tree: the program's folder is not "bin", whatever lies beside it.
  std::filesystem::create_directories(root.Path() + "/build/app");
  std::filesystem::create_directories(root.Path() + "/build/share/quv");
  EXPECT_EQ(DataFolderOf(root.Path() + "/build/app/quvtasks"), root.Path() + "/build/app");
  // A "bin" folder without the shared folder beside it, or with a file there.
  std::filesystem::create_directories(root.Path() + "/home/bin");
  EXPECT_EQ(DataFolderOf(root.Path() + "/home/bin/quvcall"), root.Path() + "/home/bin");
  root.WriteFile("other/share/quv", "not a folder");
  std::filesystem::create_directories(root.Path() + "/other/bin");
  EXPECT_EQ(DataFolderOf(root.Path() + "/other/bin/quvcall"), root.Path() + "/other/bin");
}

TEST(ProgramDataFolder, TheRunningTestIsNotInstalled) {
  EXPECT_EQ(ProgramDataFolder(), ExtractFileDir(ExecutablePath()));
}

}  // namespace
}  // namespace quv
