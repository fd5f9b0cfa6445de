#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileIo.h"
#include "platform/Process.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

namespace fs = std::filesystem;

using testing::MessageOf;

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

mode_t ModeOf(const std::string& fileName) {
  struct stat status {};
  EXPECT_EQ(::stat(fileName.c_str(), &status), 0);
  return status.st_mode & 07777;
}

TEST(ReadWholeFile, EachRefusalNamesTheFileAndItsReason) {
  const TTempFolder folder;
  const std::string empty = folder.WriteFile("empty", "");
  const std::string eleven = folder.WriteFile("eleven", "eleven byte");
  EXPECT_EQ(ReadWholeFile(eleven), "eleven byte");
  EXPECT_EQ(ReadWholeFile(empty), "");
  EXPECT_EQ(MessageOf<EFileError>([&] { ReadWholeFile(empty, {.RequireContent = true}); }),
            empty + ": the file is empty");
  EXPECT_EQ(MessageOf<EFileError>([&] { ReadWholeFile(folder.Path()); }),
            folder.Path() + ": Is a directory");
  EXPECT_EQ(MessageOf<EFileError>([&] { ReadWholeFile(folder.Path() + "/none"); }),
            folder.Path() + "/none: No such file or directory");
  EXPECT_EQ(MessageOf<EFileError>([&] { ReadWholeFile(eleven, {.MaxBytes = 10}); }),
            eleven + ": larger than 10 bytes");
  EXPECT_EQ(ReadWholeFileOrEmpty(folder.Path()), "");
}

// A file far larger than memory: a reader that allocated by its size, or read
// it before checking, would fail otherwise or never end.
TEST(ReadWholeFile, AFileOverTheCapIsRefusedByItsSizeBeforeAnyAllocation) {
  const TTempFolder folder;
  const std::string huge = folder.WriteFile("huge", "");
  std::error_code error;
  fs::resize_file(huge, uintmax_t(1) << 40, error);  // sparse: takes no room on the disk
  if (error) GTEST_SKIP() << "no sparse files of 1 TiB here: " << error.message();
  EXPECT_EQ(MessageOf<EFileError>([&] { ReadWholeFile(huge); }), huge + ": larger than 256 MiB");
}

TEST(ReplaceFileAtomically, KeepsTheModeAndLeavesOnlyTheFileBehind) {
  const TTempFolder folder;
  const std::string target = folder.WriteFile("target", "old");
  ASSERT_EQ(::chmod(target.c_str(), 0751), 0);
  ReplaceFileAtomically(target, "new", 0600);
  EXPECT_EQ(ReadWholeFile(target), "new");
  EXPECT_EQ(ModeOf(target), 0751u);

  const mode_t mask = ::umask(0);
  ::umask(mask);
  const std::string fresh = folder.Path() + "/fresh";
  ReplaceFileAtomically(fresh, "made", 0666);
  EXPECT_EQ(ModeOf(fresh), 0666u & ~mask);
  EXPECT_EQ(NamesIn(folder.Path()).size(), 2u);
}

TEST(ReplaceFileAtomically, AFailedWriteKeepsTheOldContentAndRemovesTheTemporary) {
  const TTempFolder folder;
  const std::string target = folder.WriteFile("target", "old");
  try {
    ReplaceFileAtomically(
        target,
        [](THandle file) {
          WriteAll(file, "part");
          errno = ENOSPC;
          return false;
        },
        0644);
    ADD_FAILURE() << "the failed write was not reported";
  } catch (const EFileError& e) {
    EXPECT_EQ(e.Code(), ENOSPC);
    EXPECT_EQ(std::string(e.what()), target + ": No space left on device");
  }
  EXPECT_EQ(ReadWholeFile(target), "old");
  EXPECT_EQ(NamesIn(folder.Path()), std::vector<std::string>{"target"});
  EXPECT_EQ(
      MessageOf<EFileError>([&] { ReplaceFileAtomically(folder.Path() + "/no/such", "x", 0644); }),
      folder.Path() + "/no/such: No such file or directory");
}

TEST(ReplaceFileAtomically, AWriterThatRaisesLeavesNoTemporaryBehind) {
  const TTempFolder folder;
  const std::string target = folder.WriteFile("target", "old");
  EXPECT_EQ(MessageOf<Exception>([&] {
              ReplaceFileAtomically(
                  target,
                  [](THandle file) -> bool {
                    WriteAll(file, "part");
                    throw Exception("the writer gave up");
                  },
                  0644);
            }),
            "the writer gave up");
  EXPECT_EQ(ReadWholeFile(target), "old");
  EXPECT_EQ(NamesIn(folder.Path()), std::vector<std::string>{"target"});
}

TEST(RunProgram, GivesTheExitCodeOrTheSignalAndNamesAProgramThatCannotStart) {
  EXPECT_EQ(RunProgram("/bin/sh", {"-c", "exit 3"}), 3);
  EXPECT_EQ(RunProgram("/bin/sh", {"-c", "kill -KILL $$"}), 128 + 9);
  const TTempFolder folder;
  EXPECT_EQ(MessageOf<EFileError>([&] { RunProgram(folder.Path() + "/none", {}); }),
            folder.Path() + "/none: No such file or directory");
}

}  // namespace
}  // namespace quv
