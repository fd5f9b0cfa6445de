#include "platform/Thread.h"

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

}  // namespace quv
