#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "loader/quvLoaderFiles.h"

namespace quv {
namespace {

// Every part of `path` fits a file name.
bool PartsFit(const std::string& path) {
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end - start > 255 || end == start) return false;
    start = end + 1;
  }
  return true;
}

TEST(LoaderNames, CachedDescriptorsOfDifferentFilesHaveDifferentNames) {
  EXPECT_EQ(CacheFileName("lib.quv"), "lib.quv.upd");
  EXPECT_EQ(CacheFileName("sub/x"), "sub%2Fx.upd");
  EXPECT_EQ(CacheFileName("sub\\x"), "sub%2Fx.upd");  // the server reads both alike
  EXPECT_EQ(CacheFileName("sub_x"), "sub_x.upd");
  EXPECT_EQ(CacheFileName("sub%2Fx"), "sub%252Fx.upd");
  EXPECT_EQ(CacheFileName("a~b:c"), "a%7Eb:c.upd");

  std::vector<std::string> names = {"sub/x", "sub_x", "sub%2Fx", "sub%x", "x.upd", "x", "..", ""};
  // Long names, escaped beyond 255 bytes, among them ones that differ only
  // where a piece ends.
  std::string separators;
  for (int i = 0; i < 85; ++i) separators += "/";
  names.push_back(separators);
  names.push_back(separators + "a");
  names.push_back(std::string(236, 'n') + ".upd");
  names.push_back(std::string(236, 'n'));
  names.push_back(std::string(240, 'n') + "/" + std::string(14, 'm'));
  names.push_back(std::string(240, 'n') + "%" + std::string(14, 'm'));
  names.push_back(std::string(239, 'n') + "/" + std::string(15, 'm'));
  names.push_back(std::string(255, '%'));
  std::set<std::string> paths;
  for (const std::string& name : names) {
    const std::string path = CacheFileName(name);
    EXPECT_TRUE(PartsFit(path)) << path;
    EXPECT_TRUE(paths.insert(path).second) << name << " -> " << path;
  }
  // A folder of pieces ends in '%', which no file's name does: no file is
  // ever where another one needs a folder.
  const std::string longOne = CacheFileName(separators + "a");
  EXPECT_EQ(longOne[240], '%');
  EXPECT_EQ(longOne[241], '/');
  for (const std::string& path : paths) EXPECT_EQ(path.substr(path.size() - 4), ".upd");
}

TEST(LoaderNames, LockNamesStayWithinAFileName) {
  EXPECT_EQ(FileLockName("/opt/app/lib.quv"), "DMUPD_%2Fopt%2Fapp%2Flib.quv");
  EXPECT_EQ(FileLockName("/opt/app/./sub/../lib.quv"), FileLockName("/opt/app/lib.quv"));
  EXPECT_NE(FileLockName("/opt/app/sub_x"), FileLockName("/opt/app/sub/x"));
  const std::string deep = "/opt/app/" + std::string(300, 'd') + "/x";
  const std::string deeper = "/opt/app/" + std::string(300, 'd') + "/y";
  const std::string lock = FileLockName(deep);
  EXPECT_EQ(lock.size(), kMostLockNameBytes);
  EXPECT_EQ(lock.rfind("DMUPD_%2Fopt%2Fapp%2Fddd", 0), 0u);
  EXPECT_EQ(lock[lock.size() - 17], '~');
  EXPECT_NE(lock, FileLockName(deeper));
  EXPECT_EQ(lock, FileLockName(deep));
  // A relative name is the absolute one.
  EXPECT_EQ(FileLockName("lib.quv").find("%2Flib.quv"), FileLockName("lib.quv").size() - 10);
}

TEST(LoaderNames, ListedNamesMustBeOnesTheMaskAsksFor) {
  EXPECT_TRUE(MatchesListMask("apps\\a!x.quv", "apps\\*!*.quv"));
  EXPECT_TRUE(MatchesListMask("apps\\A!X.QUV", "apps\\*!*.quv"));
  EXPECT_FALSE(MatchesListMask("APPS\\a!x.quv", "apps\\*!*.quv"));
  EXPECT_FALSE(MatchesListMask("apps\\sub\\a!x.quv", "apps\\*!*.quv"));
  EXPECT_FALSE(MatchesListMask("apps/a!x.quv", "apps\\*!*.quv"));
  EXPECT_FALSE(MatchesListMask("apps\\c.quv", "apps\\*!*.quv"));
  EXPECT_FALSE(MatchesListMask("lib.so", "apps\\*!*.quv"));
  EXPECT_FALSE(MatchesListMask("apps\\", "apps\\*"));
  EXPECT_TRUE(MatchesListMask("x.quv", "*.quv"));
  EXPECT_FALSE(MatchesListMask("d/x.quv", "*.quv"));
  EXPECT_TRUE(MatchesListMask("ab", "a?"));
}

}  // namespace
}  // namespace quv
