#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace quv {
namespace {

const char* const kText =
    "\xEF\xBB\xBF; comment\r\n"
    "[MAIN]\r\n"
    "Title = Produção \r\n"
    "[hosts]\n"
    "B=10.0.0.6\n"
    "A = 10.0.0.5=x\n"
    "not a key line\n"
    "c=\"quoted\"\n"
    "[Hosts]\n"
    "D=4\n";

TEST(IniFile, MatchesNamesWithoutCaseAndKeepsOrder) {
  const TIniFile ini = TIniFile::FromText(kText);
  EXPECT_EQ(ini.ReadString("main", "TITLE", "-"), "Produção");
  EXPECT_EQ(ini.ReadString("MAIN", "missing", "-"), "-");
  EXPECT_EQ(ini.ReadString("nosection", "TITLE", "-"), "-");
  EXPECT_EQ(ini.ReadSectionValues("HOSTS"),
            (std::vector<std::string>{"B=10.0.0.6", "A=10.0.0.5=x", "c=\"quoted\"", "D=4"}));
  EXPECT_EQ(ini.ReadSection("Hosts"), (std::vector<std::string>{"B", "A", "c", "D"}));
  EXPECT_TRUE(ini.ValueExists("hosts", "C"));
  EXPECT_FALSE(ini.SectionExists("other"));
}

TEST(IniFile, MissingFileReadsAsEmpty) {
  const TIniFile ini("/nonexistent/dir/file.ini");
  EXPECT_TRUE(ini.ReadSection("Hosts").empty());
  EXPECT_EQ(ini.ReadString("MAIN", "TITLE", ""), "");
}

TEST(IniFile, ReadsAFile) {
  const std::string name = ::testing::TempDir() + "inifile_test.ini";
  std::ofstream(name) << "[S]\nk=v\n";
  EXPECT_EQ(TIniFile(name).ReadString("s", "K", ""), "v");
  std::remove(name.c_str());
}

}  // namespace
}  // namespace quv
