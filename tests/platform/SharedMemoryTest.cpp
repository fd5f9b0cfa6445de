#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/Exception.h"
#include "platform/SharedMemory.h"
#include "tests/kit/OtherMapping.h"

namespace quv {
namespace {

const std::string kName = "quvtest_shm_" + std::to_string(getpid());

TEST(SharedMemory, IsSeenByASecondMappingAndGoneWhenReleased) {
  TSharedMemory moved;
  {
    TSharedMemory memory(kName, 8);
    std::memcpy(memory.Memory() + 2, "abc", 3);
    EXPECT_EQ(ReadShared(kName), std::string("\0\0abc\0\0\0", 8));
    moved = std::move(memory);
  }
  EXPECT_EQ(ReadShared(kName)->size(), 8u);
  moved = TSharedMemory();
  EXPECT_FALSE(ReadShared(kName));
}

TEST(SharedMemory, ForkedChildLeavesItAndALeftoverIsReplacedByFreshMemory) {
  TSharedMemory leftover(kName, 4);
  leftover.Memory()[0] = 'x';
  const pid_t child = fork();
  if (child == 0) {
    { TSharedMemory taken(std::move(leftover)); }
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  EXPECT_EQ(ReadShared(kName), std::string("x\0\0\0", 4));

  TSharedMemory fresh(kName, 2);
  EXPECT_EQ(ReadShared(kName), std::string(2, '\0'));
}

TEST(SharedMemory, RaisesTheSystemsRefusalAndLeavesNothing) {
  EXPECT_THROW(TSharedMemory("no/such/folder", 8), EOSError);
  EXPECT_THROW(TSharedMemory(kName, 0), EOSError);
  EXPECT_FALSE(ReadShared(kName));
}

}  // namespace
}  // namespace quv
