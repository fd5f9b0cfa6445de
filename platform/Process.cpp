#include "platform/Process.h"

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/FileIo.h"

extern char** environ;

namespace quv {

namespace {

constexpr int kSignalExitBase = 128;

// The stop handler the signal handler calls; set once by HandleStopSignals.
std::atomic<void (*)()> gOnStop{nullptr};

void OnStopSignal(int) {
  if (void (*onStop)() = gOnStop.load()) onStop();
}

}  // namespace

int RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) throw EFileError(program, error);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return kSignalExitBase + WTERMSIG(status);
  return WEXITSTATUS(status);
}

bool OnForkInChild(void (*handler)()) { return pthread_atfork(nullptr, nullptr, handler) == 0; }

void HandleStopSignals(void (*onStop)()) {
  gOnStop.store(onStop);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

namespace {

// The pipe a stop signal writes to and WaitForStopSignal reads from.
int gStopPipe[2] = {-1, -1};

void WriteStopByte() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(gStopPipe[1], &byte, 1);
}

}  // namespace

void WaitForStopSignal() {
  if (gStopPipe[0] < 0 && pipe(gStopPipe) != 0) throw EOSError("pipe", errno);
  HandleStopSignals(WriteStopByte);
  char byte = 0;
  while (read(gStopPipe[0], &byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace quv
