#include <gtest/gtest.h>

#include <string>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"
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
  Write("[main]\ntitle=Produção\n[Hosts]\nB=10.0.0.6\nA=10.0.0.5:7000=x\nSão=s\n");
  const std::string argument = "10.1.1.1";
  const THostConfig config = LoadHostConfig(FName, &argument);
  EXPECT_EQ(config.Title, "Produção");
  EXPECT_EQ(config.Hosts,
            (std::vector<std::string>{"B=10.0.0.6", "A=10.0.0.5:7000=x", "São=s"_cp.data()}));
  EXPECT_EQ(HostAddress(config.Hosts[1]), "10.0.0.5:7000=x");
  EXPECT_EQ(HostLabel(config.Hosts[1]), "A");
  EXPECT_EQ(HostAddress("plain"), "plain");
  EXPECT_EQ(HostLabel("plain"), "");
  EXPECT_EQ(HostAddress("=a"), "a");
}

TEST_F(HostConfigFile, FallsBackToTheArgumentOrLoopback) {
  Write("[MAIN]\nTITLE=t\n");
  const std::string argument = "10.1.1.1";
  EXPECT_EQ(LoadHostConfig(FName, &argument).Hosts, std::vector<std::string>{"1=10.1.1.1"});
  const THostConfig missing = LoadHostConfig("/nonexistent/quvtasks.ini", nullptr);
  EXPECT_EQ(missing.Hosts, std::vector<std::string>{"1=127.0.0.1"});
  EXPECT_EQ(missing.Title, "");
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
