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

// Objects named after processes that ended (killed before they could remove
// theirs) are swept; those of running processes and other names stay.
TEST(SharedMemory, TheObjectsOfEndedProcessesAreSwept) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  const std::string prefix = kName + "_sweep_";
  TSharedMemory ended(prefix + std::to_string(child), 4);
  TSharedMemory running(prefix + std::to_string(getpid()), 4);
  TSharedMemory other(prefix + "x" + std::to_string(child), 4);
  EXPECT_EQ(RemoveSharedMemoryOfEndedProcesses(prefix), 1);
  EXPECT_FALSE(ReadShared(prefix + std::to_string(child)));
  EXPECT_TRUE(ReadShared(prefix + std::to_string(getpid())));
  EXPECT_TRUE(ReadShared(prefix + "x" + std::to_string(child)));
}

TEST(SharedMemory, RaisesTheSystemsRefusalAndLeavesNothing) {
  EXPECT_THROW(TSharedMemory("no/such/folder", 8), EOSError);
  EXPECT_THROW(TSharedMemory(kName, 0), EOSError);
  EXPECT_FALSE(ReadShared(kName));
}

}  // namespace
}  // namespace quv
