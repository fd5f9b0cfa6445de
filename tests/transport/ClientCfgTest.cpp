#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

#include "platform/Cp1252.h"
#include "platform/UserSettings.h"
#include "tests/kit/TempFolder.h"
#include "transport/quvClientCfg.h"

namespace quv {
namespace {

class ClientCfg : public ::testing::Test {
 protected:
  void TearDown() override { TquvClientCfg::LoadFrom(FNone, FNone); }

  void Load(const std::string& store, const std::string& file) {
    TquvClientCfg::LoadFrom(store.empty() ? FNone : FTemp.WriteFile("KORB.ini", store),
                            file.empty() ? FNone : FTemp.WriteFile("quvclient.ini", file));
  }

  TTempFolder FTemp;
  const std::string FNone = FTemp.Path() + "/missing.ini";
};

TEST_F(ClientCfg, FileValuesWinOverTheStoreAndMissingOrUnreadableOnesKeepIt) {
  Load("[CLIENT]\nTIMEOUT=20000\nDEBUG=1\nFORCEADDRESS=10.0.0.1;10.0.0.2\nREQUESTCOMPRESSION=7\n",
       "[client]\ntimeout=5000\nForceAddress=Servidor-Ação\n");
  EXPECT_EQ(TquvClientCfg::Timeout(), 5000);
  EXPECT_TRUE(TquvClientCfg::Debug());
  EXPECT_TRUE(TquvClientCfg::RequestCompression());
  EXPECT_EQ(TquvClientCfg::ForceAddress(), "Servidor-Ação"_cp);
  Load("[CLIENT]\nDEBUG=1\n", "[CLIENT]\nDEBUG=0\n");
  EXPECT_FALSE(TquvClientCfg::Debug()) << "the file switches a store boolean off";
  // A file value that does not parse keeps the store's.
  Load("[CLIENT]\nTIMEOUT=20000\nDEBUG=1\n", "[CLIENT]\nTIMEOUT=5s\nDEBUG=yes\nUSERTIMEOUT=\n");
  EXPECT_EQ(TquvClientCfg::Timeout(), 20000);
  EXPECT_TRUE(TquvClientCfg::Debug());
  EXPECT_EQ(TquvClientCfg::UserTimeout(), 1800000);
}

TEST_F(ClientCfg, UserTimeoutNotAboveZeroInEitherSourceIsTheDefault) {
  Load("[CLIENT]\nUSERTIMEOUT=0\n", "");
  EXPECT_EQ(TquvClientCfg::UserTimeout(), 1800000);
  Load("[CLIENT]\nUSERTIMEOUT=60000\n", "[CLIENT]\nUSERTIMEOUT=-5\n");
  EXPECT_EQ(TquvClientCfg::UserTimeout(), 1800000);
  Load("", "[CLIENT]\nUSERTIMEOUT=60000\n");
  EXPECT_EQ(TquvClientCfg::UserTimeout(), 60000);
}

TEST_F(ClientCfg, LocatorTargetDefaultsToTheBroadcastAndAPortOutOfRangeIsTheDefault) {
  Load("", "");
  EXPECT_EQ(TquvClientCfg::LocatorAddress(), "255.255.255.255");
  EXPECT_EQ(TquvClientCfg::LocatorPort(), 6015);
  Load("[CLIENT]\nLOCATORPORT=7000\n", "[CLIENT]\nLOCATORADDRESS=127.0.0.1\n");
  EXPECT_EQ(TquvClientCfg::LocatorAddress(), "127.0.0.1");
  EXPECT_EQ(TquvClientCfg::LocatorPort(), 7000);
  Load("", "[CLIENT]\nLOCATORPORT=65536\n");
  EXPECT_EQ(TquvClientCfg::LocatorPort(), 6015);
}

TEST_F(ClientCfg, TimeoutIsReadWhileAnotherThreadSetsIt) {
  Load("", "");
  std::thread setter([] {
    for (int32_t ms = 1; ms <= 1000; ++ms) TquvClientCfg::SetTimeout(ms);
  });
  int32_t last = 0;
  for (int i = 0; i < 1000; ++i) {
    const int32_t now = TquvClientCfg::Timeout();
    EXPECT_TRUE(now == 600000 || (now >= last && now <= 1000));
    if (now != 600000) last = now;
  }
  setter.join();
  EXPECT_EQ(TquvClientCfg::Timeout(), 1000);
}

TEST(ClientCfgPaths, StoreMirrorsTheKeyAndTheFileSitsBesideTheProgram) {
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", "/home/x/cfg", 1), 0);
  EXPECT_EQ(UserSettingsFileName(kClientSettingsKey), "/home/x/cfg/SOFTWARE/TALVERO/KORB.ini");
  EXPECT_EQ(UserSettingsFileName("\\..\\A\\\\B"), "/home/x/cfg/A/B.ini");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ClientIniFileName("/opt/quv/bin/quvtasks"), "/opt/quv/bin/quvclient.ini");
}

}  // namespace
}  // namespace quv
