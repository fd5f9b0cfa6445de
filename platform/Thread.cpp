#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "platform/DebugOutput.h"
#include "platform/Exception.h"

namespace quv {

TThread::~TThread() { TerminateAndWait(); }

void TThread::Start() {
  if (FStarted.exchange(true)) throw Exception("Thread already started");
  FThread = std::thread(&TThread::Run, this);
}

void TThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

void TThread::TerminateAndWait() {
  Terminate();
  WaitFor();
}

void TThread::Run() {
  try {
    Execute();
  } catch (const std::exception& e) {
    OutputDebugString(std::string("thread ended by an exception: ") + e.what());
  } catch (...) {
    OutputDebugString("thread ended by an unknown exception");
  }
  FFinished.store(true);
}

// On Linux a thread id names one thread to the priority calls, so these
// change the calling thread only.
int CurrentThreadNice() {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  return errno == 0 ? nice : 0;
}

bool LowerCurrentThreadPriority() {
  const int nice = CurrentThreadNice();
  if (nice >= kLowestThreadNice) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice + 1) == 0;
}

}  // namespace quv
