#pragma once

#include <string>

// Component libraries the loader registers, in this process or through the
// registration program (started with platform/Process's RunProgram).
namespace quv {

// The auxiliary registration program beside the executable.
std::string RegistrationProgramPath();

// Registers a component library in this process: loads it and calls its
// "DllRegisterServer" (int32 result, 0 for success). A library that cannot
// be loaded raises "Não foi possível carregar biblioteca de componente"; a
// missing entry point or a failing result "Não foi possível registrar
// componente " + the file name.
void RegisterComponentInProcess(const std::string& fileName);

// Registers it through the auxiliary program, started with the file name; a
// non-zero exit code raises "Não foi possível registrar componente " + name.
void RegisterComponentWithProgram(const std::string& program, const std::string& fileName);

}  // namespace quv
