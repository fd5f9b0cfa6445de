#include "loader/quvLoaderPrograms.h"

#include <cstdint>

#include "loader/quvLoaderError.h"
#include "platform/Cp1252.h"
#include "platform/DynamicLibrary.h"
#include "platform/ExePath.h"
#include "platform/Process.h"

namespace quv {

namespace {

constexpr const char* kRegistrationProgram = "quvregcom";

[[noreturn]] void RaiseNotRegistered(const std::string& fileName) {
  throw ELoaderError(std::string("Não foi possível registrar componente "_cp) + fileName);
}

}  // namespace

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
