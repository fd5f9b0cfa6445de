// The viewer's command line: the options read with Qt's parser, and the
// program's answers to help, version, wrong options and settings files it
// cannot read, all before any window.

#include <gtest/gtest.h>

#include "app/ViewerOptions.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/TempFolder.h"

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
  EXPECT_EQ(ParseViewerArguments({"--settings"}).Error, "Missing value after '--settings'");
  EXPECT_EQ(ParseViewerArguments({"--settings="}).Error, "--settings needs a file name");
  const TViewerOptions unknown =
      ParseViewerArguments({"-platform", "offscreen", "--help", "--bogus"});
  EXPECT_EQ(unknown.Error, "Unknown options: platform, bogus");
  EXPECT_TRUE(unknown.Help);
  EXPECT_TRUE(ParseViewerArguments({"-h"}).Help);
  EXPECT_TRUE(ParseViewerArguments({"--version"}).Version);
  EXPECT_EQ(ParseViewerArguments({"srv-日本"}).Error,
            "server-address: character \"日\" U+65E5 is outside Windows-1252");
}

// The viewer program itself; none of these runs opens a window.
class ViewerProgram : public ::testing::Test {
 protected:
  std::string Failure(const std::string& arguments) const {
    // Qt warns about a missing runtime folder; the private temporary one will do.
    const testing::TProgramRun run = testing::RunProgram(
        FFolder.Path(), "QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" + FFolder.Path() + " " +
                            QUV_TASKS_BINARY + " " + arguments);
    return std::to_string(run.Status) + " " + run.Err;
  }

  TTempFolder FFolder;
};

TEST_F(ViewerProgram, WrongOptionsAndUnreadableSettingsEndItWithTheirReason) {
  EXPECT_EQ(Failure("--bogus"), "2 quvtasks: Unknown option 'bogus'; try --help\n");
  EXPECT_EQ(Failure("--settings"), "2 quvtasks: Missing value after '--settings'; try --help\n");
  EXPECT_EQ(Failure("--settings " + FFolder.Path()),
            "2 quvtasks: " + FFolder.Path() + ": Is a directory\n");
  EXPECT_EQ(Failure("--settings /nonexistent/viewer.ini"),
            "2 quvtasks: /nonexistent/viewer.ini: No such file or directory\n");
  const std::string empty = FFolder.WriteFile("empty.ini", "");
  EXPECT_EQ(Failure("--settings " + empty), "2 quvtasks: " + empty + ": the file is empty\n");
}

TEST_F(ViewerProgram, HelpAndVersionNeedNoDisplayAndAFullStandardOutputFails) {
  const testing::TProgramRun help =
      testing::RunProgram(FFolder.Path(), "DISPLAY= " + std::string(QUV_TASKS_BINARY) + " --help");
  EXPECT_EQ(help.Status, 0);
  EXPECT_NE(help.Out.find("--settings FILE  read FILE instead"), std::string::npos);
  EXPECT_EQ(testing::RunProgram(FFolder.Path(), std::string(QUV_TASKS_BINARY) + " --version")
                .Out.rfind("quvtasks ", 0),
            0u);
  EXPECT_EQ(Failure("--help > /dev/full"),
            "1 quvtasks: cannot write to standard output: No space left on device\n");
}

}  // namespace
}  // namespace quv
