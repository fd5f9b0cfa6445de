#pragma once

#include <string>

namespace quv {

// A shared library loaded with dlopen, unloaded when the owner goes.
// Move-only. Symbols taken from it are valid while it lives.
class TDynamicLibrary final {
 public:
  TDynamicLibrary() = default;
  ~TDynamicLibrary();
  TDynamicLibrary(TDynamicLibrary&& other) noexcept;
  TDynamicLibrary& operator=(TDynamicLibrary&& other) noexcept;
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;

  // Loads the library at `fileName`, resolving its symbols at once; a library
  // that is missing or cannot be loaded gives an object that is not Loaded.
  static TDynamicLibrary Load(const std::string& fileName);

  bool Loaded() const { return FHandle != nullptr; }
  // Why the last Load failed (the loader's text); empty when it did not.
  const std::string& LoadError() const { return FLoadError; }
  // The address of the exported symbol, or null when it is missing.
  void* Symbol(const char* name) const;
  // The exported function `name` as a pointer of type F, or null.
  template <class F>
  F* Function(const char* name) const {
    return reinterpret_cast<F*>(Symbol(name));
  }

 private:
  void* FHandle = nullptr;
  std::string FLoadError;
};

// The file that stands for a Windows library name inside `folder`: "x.dll"
// is "<folder>/libx.so" (the extension matched without regard to case), and
// a name without it is taken as the bare library name.
std::string LibraryFileName(const std::string& windowsName, const std::string& folder);

// The same beside the running executable.
std::string LibraryFileNameBesideExecutable(const std::string& windowsName);

}  // namespace quv
