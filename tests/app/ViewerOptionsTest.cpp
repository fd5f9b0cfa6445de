#include <gtest/gtest.h>

#include "app/ViewerOptions.h"

namespace quv {
namespace {

TEST(ViewerOptions, SettingsFileAndTheFirstAddress) {
  const TViewerOptions spaced = ParseViewerArguments({"--settings", "/tmp/a.ini", "10.0.0.5", "x"});
  EXPECT_EQ(spaced.SettingsFile, "/tmp/a.ini");
  EXPECT_EQ(spaced.Address, "10.0.0.5");
  EXPECT_EQ(spaced.Error, "");
  const TViewerOptions joined = ParseViewerArguments({"10.0.0.6:7000", "--settings=b.ini"});
  EXPECT_EQ(joined.SettingsFile, "b.ini");
  EXPECT_EQ(joined.Address, "10.0.0.6:7000");
  const TViewerOptions none = ParseViewerArguments({});
  EXPECT_EQ(none.SettingsFile, "");
  EXPECT_FALSE(none.Address.has_value());
  EXPECT_FALSE(none.Help || none.Version);
}

TEST(ViewerOptions, DoubleDashEndsTheOptions) {
  const TViewerOptions options = ParseViewerArguments({"--", "--settings"});
  EXPECT_EQ(options.Address, "--settings");
  EXPECT_EQ(options.SettingsFile, "");
  EXPECT_EQ(options.Error, "");
}

TEST(ViewerOptions, FaultsAreNamedAndHelpIsStillSeen) {
  EXPECT_EQ(ParseViewerArguments({"--settings"}).Error, "--settings needs a file name");
  EXPECT_EQ(ParseViewerArguments({"--settings="}).Error, "--settings needs a file name");
  const TViewerOptions unknown =
      ParseViewerArguments({"-platform", "offscreen", "--help", "--bogus"});
  EXPECT_EQ(unknown.Error, "unknown option -platform");
  EXPECT_TRUE(unknown.Help);
  EXPECT_TRUE(ParseViewerArguments({"-h"}).Help);
  EXPECT_TRUE(ParseViewerArguments({"--version"}).Version);
}

}  // namespace
}  // namespace quv
