#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace quv::testing {

// A program run as a child process with standard output and standard error
// in `outputFile`, until the destructor stops it with SIGTERM and reaps it.
// Owned by one test.
class TChildProcess final {
 public:
  TChildProcess(std::vector<std::string> args, const std::string& outputFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&FPid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + args[0]);
  }
  ~TChildProcess() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Whether it still runs; one that ended is reaped.
  bool Running() {
    if (FPid > 0 && ::waitpid(FPid, nullptr, WNOHANG) != 0) FPid = -1;
    return FPid > 0;
  }

 private:
  pid_t FPid = -1;
};

}  // namespace quv::testing
