#include <gtest/gtest.h>

#include <string>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

TEST(SettingsFileName, ReplacesExeOrAppendsIni) {
  EXPECT_EQ(SettingsFileName("/opt/quv/quvtasks"), "/opt/quv/quvtasks.ini");
  EXPECT_EQ(SettingsFileName("C:/Prog/Viewer.EXE"), "C:/Prog/Viewer.ini");
  EXPECT_EQ(SettingsFileName("/x.exe.d/viewer.exe"), "/x.ini.d/viewer.ini");
  EXPECT_EQ(SettingsFileName("/x.Exe/viewer"), "/x.ini/viewer.ini");
}

class HostConfigFile : public ::testing::Test {
 protected:
  void Write(const std::string& text) { FFolder.WriteFile("quvtasks.ini", text); }

  TTempFolder FFolder;
  const std::string FName = FFolder.Path() + "/quvtasks.ini";
};

TEST_F(HostConfigFile, HostsSectionInFileOrderWinsOverTheArgument) {
  Write("[main]\ntitle=Produção\n[Hosts]\nB=10.0.0.6\nA=server=x:7000\nSão=s\n");
  const std::string argument = "10.1.1.1";
  const THostConfig config = LoadHostConfig(FName, &argument);
  EXPECT_EQ(config.Title, "Produção");
  EXPECT_EQ(config.Hosts,
            (std::vector<std::string>{"B=10.0.0.6", "A=server=x:7000", "São=s"_cp.data()}));
  EXPECT_EQ(HostAddress(config.Hosts[1]), "server=x:7000");
  EXPECT_EQ(HostLabel(config.Hosts[1]), "A");
  EXPECT_EQ(HostAddress("plain"), "plain");
  EXPECT_EQ(HostLabel("plain"), "");
  EXPECT_EQ(HostAddress("=a"), "a");
}

// Host lines keep such bytes as they are; the title must read them alike.
TEST_F(HostConfigFile, ATitleWrittenInWindows1252ReadsAsItsCharacters) {
  Write("[MAIN]\nTITLE=Produ\xE7\xE3o \xE2\x82\xAC\n[Hosts]\nS\xE3o=10.0.0.5\n");
  const THostConfig config = LoadHostConfig(FName, nullptr);
  EXPECT_EQ(config.Title, "Produção €");
  EXPECT_EQ(config.Hosts, std::vector<std::string>{"São=10.0.0.5"_cp.data()});
}

TEST_F(HostConfigFile, FallsBackToTheArgumentOrLoopback) {
  Write("[MAIN]\nTITLE=t\n");
  const std::string argument = "10.1.1.1";
  EXPECT_EQ(LoadHostConfig(FName, &argument).Hosts, std::vector<std::string>{"1=10.1.1.1"});
  const THostConfig missing = LoadHostConfig("/nonexistent/quvtasks.ini", nullptr);
  EXPECT_EQ(missing.Hosts, std::vector<std::string>{"1=127.0.0.1"});
  EXPECT_EQ(missing.Title, "");
}

// A wrong entry would otherwise show as a server that never answers.
TEST_F(HostConfigFile, EntriesThatCannotNameAServerAreRefusedWithTheirLine) {
  const auto refusal = [&](const std::string& hosts) {
    Write("[Hosts]\nA=10.0.0.5\n" + hosts + "\n");
    return testing::MessageOf([&] { LoadHostConfig(FName, nullptr); });
  };
  const std::string prefix = FName + ": [Hosts] ";
  EXPECT_EQ(refusal("B=10.0.0.6:abc"),
            prefix + "B=10.0.0.6:abc: the port must be a number from 1 to 65535, not \"abc\"");
  EXPECT_EQ(refusal("B=10.0.0.6:70000"),
            prefix + "B=10.0.0.6:70000: the port must be a number from 1 to 65535, not \"70000\"");
  EXPECT_EQ(refusal("B=10.0.0.6:"),
            prefix + "B=10.0.0.6:: the port must be a number from 1 to 65535, not \"\"");
  EXPECT_EQ(refusal("B=:7000"), prefix + "B=:7000: no host name in \":7000\"");
  EXPECT_EQ(refusal("B=10.0.6"),
            prefix + "B=10.0.6: \"10.0.6\" is not a full dotted quad (four numbers)");
  EXPECT_EQ(refusal("B日=10.0.0.6"),
            prefix + "B日=10.0.0.6: character \"日\" U+65E5 is outside Windows-1252");
  EXPECT_EQ(refusal("a=10.0.0.6"), prefix + "a=10.0.0.6: the label a is used twice");
}

TEST_F(HostConfigFile, ThresholdsAndConfirmation) {
  Write("[MAIN]\nWARNSECONDS=5\nalertseconds=x\nCONFIRMCANCEL=1\n");
  const THostConfig config = LoadHostConfig(FName, nullptr);
  EXPECT_EQ(config.WarnSeconds, 5);
  EXPECT_EQ(config.AlertSeconds, 300);  // not a number: the default
  EXPECT_TRUE(config.ConfirmCancel);
}

}  // namespace
}  // namespace quv
