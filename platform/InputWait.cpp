#include "platform/InputWait.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Exception.h"
#include "platform/Process.h"

namespace quv {

namespace {

// The pipe end a stop signal writes to, and whether one came.
std::atomic<int> gStopPipe{-1};
std::atomic<bool> gStopRequested{false};

void WriteWakeByte(int fd) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
}

void OnStop() {
  gStopRequested.store(true);
  if (const int fd = gStopPipe.load(); fd >= 0) WriteWakeByte(fd);
}

}  // namespace

TInputWait::TInputWait(int fd) : FFd(fd) {
  if (pipe2(FPipe, O_NONBLOCK | O_CLOEXEC) != 0) throw EOSError("pipe2", errno);
}

TInputWait::~TInputWait() {
  int self = FPipe[1];
  gStopPipe.compare_exchange_strong(self, -1);
  close(FPipe[0]);
  close(FPipe[1]);
}

void TInputWait::WakeOnStopSignals() {
  gStopPipe.store(FPipe[1]);
  HandleStopSignals(OnStop);
}

bool TInputWait::StopRequested() const { return gStopRequested.load(); }

void TInputWait::Wake() { WriteWakeByte(FPipe[1]); }

bool TInputWait::Wait(uint32_t ms) {
  pollfd fds[2] = {{FFd, POLLIN, 0}, {FPipe[0], POLLIN, 0}};
  if (poll(fds, 2, static_cast<int>(ms)) <= 0) return true;  // time out, or a signal
  char bytes[64];
  if (fds[1].revents & POLLIN)
    while (read(FPipe[0], bytes, sizeof bytes) > 0) {
    }
  return (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0 || (fds[0].revents & POLLIN);
}

}  // namespace quv
