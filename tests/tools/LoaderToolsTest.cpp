#include <gtest/gtest.h>

#include <string>

#include "loader/quvDiff.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

using testing::FileBytes;
using testing::TProgramRun;

TProgramRun RunIn(const TTempFolder& folder, const std::string& binary, const std::string& args) {
  return testing::RunProgram(folder.Path(), "cd " + folder.Path() + " && " + binary + " " + args);
}

TProgramRun Diff(const TTempFolder& folder, const std::string& args) {
  return RunIn(folder, QUV_DIFF_BINARY, args);
}

TEST(DiffTool, MakesAndAppliesDifferences) {
  TTempFolder folder;
  std::string oldData(200000, 'o'), newData = oldData;
  newData.replace(1000, 5, "fresh");
  folder.WriteFile("old", oldData);
  folder.WriteFile("new", newData);
  const TProgramRun made = Diff(folder, "make old new d");
  EXPECT_EQ(made.Status, 0) << made.Err;
  EXPECT_EQ(made.Out, std::to_string(Crc32(oldData)) + "\n");
  EXPECT_EQ(FileBytes(folder.Path() + "/d"), MakeDifference(oldData, newData));
  EXPECT_EQ(Diff(folder, "apply old d out").Status, 0);
  EXPECT_EQ(FileBytes(folder.Path() + "/out"), newData);

  // A difference for another file, or a damaged one, leaves OUT as it was
  // and says which of the two it is.
  folder.WriteFile("out", "kept");
  const TProgramRun other = Diff(folder, "apply new d out");
  EXPECT_EQ(other.Status, 1);
  EXPECT_EQ(other.Err,
            "quvdiff: new: not the old file that the difference d was made for (CRC Error)\n");
  const testing::TByteBuilder junk = testing::TByteBuilder()
                                         .Raw(std::string("UPDF\0\0", 6))
                                         .U16(kDiffFormatVersion)
                                         .I32(0)
                                         .I32(static_cast<int32_t>(Crc32(oldData)))
                                         .Raw(std::string(40, '\xFF'));
  folder.WriteFile("junk", std::string(junk.Bytes().begin(), junk.Bytes().end()));
  EXPECT_EQ(Diff(folder, "apply old junk out").Err,
            "quvdiff: junk: the difference is damaged (CRC Error)\n");
  EXPECT_EQ(FileBytes(folder.Path() + "/out"), "kept");
}

TEST(DiffTool, WrongCommandLinesAndMissingFiles) {
  TTempFolder folder;
  folder.WriteFile("old", "o");
  EXPECT_EQ(Diff(folder, "").Status, 2);
  EXPECT_NE(Diff(folder, "--help").Out.find("quvdiff make OLD NEW OUT"), std::string::npos);
  EXPECT_EQ(Diff(folder, "make old").Status, 2);
  EXPECT_EQ(Diff(folder, "merge a b c").Status, 2);
  const TProgramRun missing = Diff(folder, "make old nothere out");
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Err.find("nothere"), std::string::npos);
}

class UpdateToolTest : public ::testing::Test {
 protected:
  UpdateToolTest() : FServer({"--files", FServed.Path()}) {
    FServed.WriteFile("_version.ini", "[Attributes]\r\nGlobalVersion=1\r\n");
    FServed.WriteFile("lib.quv", FContent);
    FServed.WriteFile("lib.quv.upd", "[Attributes]\r\nCheckSum=" + std::to_string(Crc32(FContent)) +
                                         "\r\nAge=1600000000\r\n");
  }
  std::string Update(const std::string& names) const {
    return std::string(QUV_UPDATE_BINARY) + " --host " + FServer.Address() + " --folder " +
           FProgram.Path() + " " + names;
  }

  const std::string FContent = std::string(300000, 'q');
  TTempFolder FServed, FProgram, FWork;
  testing::TServerProcess FServer;
};

TEST_F(UpdateToolTest, ReportsEachFileAndFailsOnTheFirstError) {
  const std::string target = FProgram.Path() + "/lib.quv";
  TProgramRun run = RunIn(FWork, Update("lib.quv"), "");
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Out, "received lib.quv (300000 bytes)\n" + target + ": updated\n");
  EXPECT_EQ(FileBytes(target), FContent);
  run = RunIn(FWork, Update("lib.quv missing.dat"), "");
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Out, target + ": up to date\n");
  EXPECT_EQ(run.Err, "quvupdate: Arquivo não encontrado: missing.dat\n");
  EXPECT_EQ(RunIn(FWork, Update("../up.dat"), "").Err,
            "quvupdate: Nome de arquivo fora da pasta do programa: ../up.dat\n");
  EXPECT_EQ(RunIn(FWork, QUV_UPDATE_BINARY, "--host 127.0.0.1:1 lib.quv").Err,
            "quvupdate: Não foi possível conectar ao servidor\n");
  EXPECT_EQ(RunIn(FWork, QUV_UPDATE_BINARY, "--folder").Status, 2);
}

// A folder that is not there is named, rather than the server blamed.
TEST_F(UpdateToolTest, AMissingFolderIsNamed) {
  const TProgramRun run = RunIn(FWork,
                                std::string(QUV_UPDATE_BINARY) + " --host " + FServer.Address() +
                                    " --folder " + FProgram.Path() + "/nonexistent lib.quv",
                                "");
  EXPECT_EQ(run.Status, 1);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(run.Err,
            "quvupdate: Pasta do programa não encontrada: " + FProgram.Path() + "/nonexistent\n");
}

// Two processes at once: the named lock lets one fetch; the other then finds
// the file current.
TEST_F(UpdateToolTest, TwoProcessesUpdatingOneFileFetchItOnce) {
  const std::string both = "(" + Update("lib.quv") + " > " + FWork.Path() + "/a.out & " +
                           Update("lib.quv") + " > " + FWork.Path() + "/b.out & wait)";
  EXPECT_EQ(RunIn(FWork, both, "").Status, 0);
  const std::string out = FileBytes(FWork.Path() + "/a.out") + FileBytes(FWork.Path() + "/b.out");
  EXPECT_EQ(testing::CountOf(out, "received lib.quv"), 1u) << out;
  EXPECT_EQ(testing::CountOf(out, ": updated"), 1u) << out;
  EXPECT_EQ(testing::CountOf(out, ": up to date"), 1u) << out;
  EXPECT_EQ(FileBytes(FProgram.Path() + "/lib.quv"), FContent);
}

}  // namespace
}  // namespace quv
