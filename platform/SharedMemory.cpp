#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <string_view>
#include <utility>

#include "platform/Exception.h"
#include "platform/SystemInfo.h"

namespace quv {

namespace {

// A new object only: a leftover of the same name (its process died without
// removing it) is removed and the creation tried once more.
THandle CreateObject(const std::string& objectName) {
  constexpr int kFlags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
  THandle handle = shm_open(objectName.c_str(), kFlags, 0600);
  if (handle == kNoHandle && errno == EEXIST) {
    shm_unlink(objectName.c_str());
    handle = shm_open(objectName.c_str(), kFlags, 0600);
  }
  if (handle == kNoHandle) RaiseLastOSError("shm_open");
  return handle;
}

// Removes the half-made object, then raises the error of `call`.
[[noreturn]] void Abandon(const std::string& objectName, const char* call) {
  const int code = errno;
  shm_unlink(objectName.c_str());
  throw EOSError(call, code);
}

// Where the system lists its shared memory objects.
constexpr const char* kObjectFolder = "/dev/shm";

// The process id that ends `name` after `prefix`; 0 for any other name.
uint32_t ProcessIdAfter(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix) || name.size() == prefix.size()) return 0;
  name.remove_prefix(prefix.size());
  uint32_t processId = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), processId);
  return error == std::errc() && end == name.data() + name.size() ? processId : 0;
}

}  // namespace

int32_t RemoveSharedMemoryOfEndedProcesses(std::string_view prefix) {
  int32_t removed = 0;
  std::error_code error;
  std::filesystem::directory_iterator entry(kObjectFolder, error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    const uint32_t processId = ProcessIdAfter(name, prefix);
    if (processId == 0 || ProcessExists(processId)) continue;
    if (shm_unlink(SharedMemoryObjectName(name).c_str()) == 0) ++removed;
  }
  return removed;
}

std::string SharedMemoryObjectName(const std::string& name) { return "/" + name; }

TSharedMemory::TSharedMemory(const std::string& name, std::size_t size)
    : FName(name), FSize(size), FCreator(getpid()) {
  const std::string objectName = SharedMemoryObjectName(name);
  FHandle.Reset(CreateObject(objectName));
  if (ftruncate(FHandle.Get(), static_cast<off_t>(size)) != 0) Abandon(objectName, "ftruncate");
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, FHandle.Get(), 0);
  if (memory == MAP_FAILED) Abandon(objectName, "mmap");
  FMemory = static_cast<uint8_t*>(memory);
}

TSharedMemory::TSharedMemory(TSharedMemory&& other) noexcept { Swap(other); }

TSharedMemory& TSharedMemory::operator=(TSharedMemory&& other) noexcept {
  TSharedMemory taken(std::move(other));
  Swap(taken);
  return *this;
}

void TSharedMemory::Swap(TSharedMemory& other) noexcept {
  std::swap(FName, other.FName);
  std::swap(FMemory, other.FMemory);
  std::swap(FSize, other.FSize);
  std::swap(FHandle, other.FHandle);
  std::swap(FCreator, other.FCreator);
}

TSharedMemory::~TSharedMemory() {
  if (FMemory == nullptr) return;
  munmap(FMemory, FSize);
  FMemory = nullptr;
  FHandle.Reset();
  if (getpid() == FCreator) shm_unlink(SharedMemoryObjectName(FName).c_str());
}

}  // namespace quv
