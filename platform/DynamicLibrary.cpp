#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

#include "platform/ExePath.h"
#include "platform/IniFile.h"

namespace quv {

TDynamicLibrary::~TDynamicLibrary() {
  if (FHandle != nullptr) dlclose(FHandle);
}

TDynamicLibrary::TDynamicLibrary(TDynamicLibrary&& other) noexcept
    : FHandle(std::exchange(other.FHandle, nullptr)), FLoadError(std::move(other.FLoadError)) {}

TDynamicLibrary& TDynamicLibrary::operator=(TDynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (FHandle != nullptr) dlclose(FHandle);
    FHandle = std::exchange(other.FHandle, nullptr);
    FLoadError = std::move(other.FLoadError);
  }
  return *this;
}

TDynamicLibrary TDynamicLibrary::Load(const std::string& fileName) {
  TDynamicLibrary library;
  library.FHandle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.FHandle == nullptr) {
    const char* error = dlerror();
    library.FLoadError = error != nullptr ? error : "cannot load " + fileName;
  }
  return library;
}

void* TDynamicLibrary::Symbol(const char* name) const {
  return FHandle != nullptr ? dlsym(FHandle, name) : nullptr;
}

std::string LibraryFileName(const std::string& windowsName, const std::string& folder) {
  std::string base = windowsName;
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && SameTextAscii(base.substr(dot), ".dll")) base.erase(dot);
  return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + "lib" + base + ".so";
}

std::string LibraryFileNameBesideExecutable(const std::string& windowsName) {
  return LibraryFileName(windowsName, ExtractFileDir(ExecutablePath()));
}

}  // namespace quv
