#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace quv::testing {

// The application server binary, run as a child process on a free loopback
// port, with its locator on a free UDP port unless `extraArgs` name one. The
// constructor returns once the server listens; the destructor stops it with
// SIGTERM and reaps it. Owned by one test.
class TServerProcess final {
 public:
  explicit TServerProcess(std::vector<std::string> extraArgs = {}) {
    std::vector<std::string> args = {QUV_SERVER_BINARY, "--listen", "127.0.0.1", "--port", "0",
                                     "--locator-port",  "0"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    int output[2];
    if (::pipe(output) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&FPid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
      ::close(output[0]);
      throw std::runtime_error("cannot start " + args[0]);
    }
    FPort = ReadPort(output[0], "listening on ");
    FLocatorPort = ReadPort(output[0], "locator on ");
    ::close(output[0]);
    if (FPort == 0) {
      Stop();
      throw std::runtime_error("the server did not say where it listens");
    }
  }
  ~TServerProcess() { Stop(); }
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  uint16_t Port() const { return FPort; }
  pid_t Pid() const { return FPid; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }
  // The UDP port the server answers locator requests on.
  uint16_t LocatorPort() const { return FLocatorPort; }
  bool Running() const { return FPid > 0 && ::waitpid(FPid, nullptr, WNOHANG) == 0; }

  // Sends SIGTERM and waits; the exit status as waitpid gives it, or -1 when
  // stopped already.
  int Stop() {
    if (FPid <= 0) return -1;
    ::kill(FPid, SIGTERM);
    int status = 0;
    ::waitpid(FPid, &status, 0);
    FPid = -1;
    return status;
  }

 private:
  // The port of the next line, `start` + "<address>:<port>"; 0 without one.
  static uint16_t ReadPort(int fd, const std::string& start) {
    std::string line;
    char c;
    while (line.size() < 200 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
    const std::size_t colon = line.rfind(':');
    if (line.rfind(start, 0) != 0 || colon == std::string::npos) return 0;
    return static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
  }

  pid_t FPid = -1;
  uint16_t FPort = 0;
  uint16_t FLocatorPort = 0;
};

// What `command` prints on standard output; `status` gets its exit status,
// or -1 when it cannot be started.
inline std::string OutputOf(const std::string& command, int& status) {
  FILE* output = ::popen(command.c_str(), "r");
  status = -1;
  if (output == nullptr) return {};
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, output) != nullptr) text += buffer;
  status = ::pclose(output);
  return text;
}

}  // namespace quv::testing
