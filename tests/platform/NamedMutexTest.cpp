#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/NamedMutex.h"

namespace quv {
namespace {

std::string UniqueName() { return "QUV_TEST_MUTEX_" + std::to_string(getpid()); }

// A child process that takes the lock, says so through a pipe, and dies
// holding it when told to go on.
class THoldingChild final {
 public:
  explicit THoldingChild(const std::string& name) {
    if (pipe(FReady) != 0 || pipe(FGo) != 0) ADD_FAILURE() << "pipe failed";
    FPid = fork();
    if (FPid == 0) {
      TNamedMutex mutex(name);
      mutex.Acquire();
      char byte = 1;
      if (write(FReady[1], &byte, 1) != 1 || read(FGo[0], &byte, 1) != 1) _exit(3);
      _exit(0);  // without Release
    }
    char byte = 0;
    if (read(FReady[0], &byte, 1) != 1) ADD_FAILURE() << "the child did not take the lock";
  }
  // Lets the child die and waits for it.
  void Finish() {
    char byte = 1;
    EXPECT_EQ(write(FGo[1], &byte, 1), 1);
    int status = -1;
    EXPECT_EQ(waitpid(FPid, &status, 0), FPid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ~THoldingChild() {
    for (int fd : {FReady[0], FReady[1], FGo[0], FGo[1]}) close(fd);
  }

 private:
  int FReady[2] = {-1, -1};
  int FGo[2] = {-1, -1};
  pid_t FPid = -1;
};

TEST(NamedMutex, AnotherProcessHoldingItTimesTheWaitOutAndItsDeathReleasesIt) {
  TNamedMutex mutex(UniqueName());
  THoldingChild child(UniqueName());
  EXPECT_FALSE(mutex.WaitFor(30));
  child.Finish();
  ASSERT_TRUE(mutex.WaitFor(1000));
  mutex.Release();
  unlink(mutex.LockFileName().c_str());
}

TEST(NamedMutex, TwoObjectsOfOneNameExcludeEachOtherInOneProcess) {
  TNamedMutex first(UniqueName() + "/in/process");
  TNamedMutex second(UniqueName() + "/in/process");
  EXPECT_EQ(first.LockFileName(), second.LockFileName());
  EXPECT_EQ(first.LockFileName().find('/', first.LockFileName().rfind("QUV_")), std::string::npos);
  first.Acquire();
  EXPECT_FALSE(second.WaitFor(10));
  first.Release();
  EXPECT_TRUE(second.WaitFor(10));
  second.Release();
  unlink(first.LockFileName().c_str());
}

}  // namespace
}  // namespace quv
