#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "client/ProcessInfo.h"
#include "server/common/quvstream.h"
#include "tests/kit/OtherMapping.h"

namespace quv {
namespace {

// Fills the block as another component of the process would, and clears it
// afterwards.
class ProcessInfoTest : public ::testing::Test {
 protected:
  ~ProcessInfoTest() override { std::memset(FBlock.Memory(), 0, kProcessInfoSize); }
  void Fill(int32_t length, const std::string& text) {
    TquvStream writer(&FBlock);
    writer.WriteInteger(length);
    writer.WriteRawString(text);
  }
  TProcessInfoStream FBlock;
};

TEST_F(ProcessInfoTest, BlockIsNamedAfterTheProcessAndSeenByOthers) {
  EXPECT_EQ(ProcessInfoBlockName(), "VANTORA_GLOBAL_PROCESS_INFO_" + std::to_string(getpid()));
  EXPECT_EQ(ProcessInfoText(), "");
  Fill(5, "hello");
  EXPECT_EQ(ProcessInfoText(), "hello");
  const std::optional<std::string> seen = ReadShared(ProcessInfoBlockName());
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->size(), static_cast<std::size_t>(kProcessInfoSize));
  EXPECT_EQ(seen->substr(0, 9), std::string("\5\0\0\0hello", 9));
}

TEST_F(ProcessInfoTest, StreamIsTheWholeBlockAndNeverGrows) {
  EXPECT_EQ(FBlock.Size(), kProcessInfoSize);
  FBlock.SetPosition(kProcessInfoSize - 2);
  EXPECT_EQ(FBlock.Write("abcd", 4), 2);
  EXPECT_THROW(FBlock.WriteBuffer("x", 1), EWriteError);
  EXPECT_THROW(FBlock.SetSize(kProcessInfoSize + 1), EStreamError);
  FBlock.SetSize(kProcessInfoSize - 1);
  FBlock.SetPosition(kProcessInfoSize - 2);
  char read[2] = {};
  EXPECT_EQ(FBlock.Read(read, 2), 1);
  EXPECT_EQ(read[0], 'a');
}

TEST_F(ProcessInfoTest, HostileLengthGivesEmptyText) {
  for (int32_t length : {-1, kProcessInfoMaxText + 1, -2147483647 - 1}) {
    FBlock.SetPosition(0);
    Fill(length, "text");
    EXPECT_EQ(ProcessInfoText(), "") << length;
  }
  FBlock.SetPosition(0);
  Fill(kProcessInfoMaxText, std::string(kProcessInfoMaxText, 'z'));
  EXPECT_EQ(ProcessInfoText(), std::string(kProcessInfoMaxText, 'z'));
}

}  // namespace
}  // namespace quv
