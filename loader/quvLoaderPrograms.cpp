#include "loader/quvLoaderPrograms.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>

#include "loader/quvLoaderError.h"
#include "platform/Cp1252.h"
#include "platform/DynamicLibrary.h"
#include "platform/ExePath.h"

extern char** environ;

namespace quv {

namespace {

constexpr const char* kRegistrationProgram = "quvregcom";
constexpr int kSignalExitBase = 128;

[[noreturn]] void RaiseNotRegistered(const std::string& fileName) {
  throw ELoaderError(std::string("Não foi possível registrar componente "_cp) + fileName);
}

}  // namespace

int RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (error != 0) throw ELoaderError(program + ": " + SysErrorMessage(error));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return kSignalExitBase + WTERMSIG(status);
  return WEXITSTATUS(status);
}

std::string RegistrationProgramPath() {
  return ExtractFileDir(ExecutablePath()) + "/" + kRegistrationProgram;
}

void RegisterComponentInProcess(const std::string& fileName) {
  const TDynamicLibrary library = TDynamicLibrary::Load(fileName);
  if (!library.Loaded())
    throw ELoaderError(std::string("Não foi possível carregar biblioteca de componente"_cp));
  using TRegister = int32_t();
  TRegister* registerServer = library.Function<TRegister>("DllRegisterServer");
  if (registerServer == nullptr || registerServer() != 0) RaiseNotRegistered(fileName);
}

void RegisterComponentWithProgram(const std::string& program, const std::string& fileName) {
  if (RunProgram(program, {fileName}) != 0) RaiseNotRegistered(fileName);
}

}  // namespace quv
