#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

namespace quv {

void TStream::ReadBuffer(void* buffer, int32_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EWriteError();
}

int64_t TStream::Size() {
  const int64_t position = Seek(0, TSeekOrigin::Current);
  const int64_t size = Seek(0, TSeekOrigin::End);
  Seek(position, TSeekOrigin::Beginning);
  return size;
}

int64_t TStream::Remaining() { return std::max<int64_t>(0, Size() - Position()); }

namespace {

struct TMapping {
  uint8_t* Memory;
  std::size_t Capacity;
};

// Blocks from this size on get a mapping of their own, in whole huge pages.
constexpr std::size_t kMappedBlock = std::size_t(1) << 20;
constexpr std::size_t kMinimumCapacity = 256;
constexpr std::size_t kHugePage = std::size_t(2) << 20;

std::size_t RoundUp(std::size_t value, std::size_t unit) {
  return (value + unit - 1) / unit * unit;
}

[[noreturn]] void FailAllocation() {
  throw EStreamError("Out of memory while expanding memory stream");
}

uint8_t* NewMapping(std::size_t capacity) {
  void* memory =
      mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) FailAllocation();
  // Fewer page faults on large blocks; only a hint.
  madvise(memory, capacity, MADV_HUGEPAGE);
  return static_cast<uint8_t*>(memory);
}

// The mappings of freed memory streams, kept for the next large stream: a
// program that builds big streams in turn (saving and loading a large
// recordset, one big reply after another) writes into pages it already has
// instead of having the kernel fault in and clear fresh ones every time.
// Holds at most kSpareBytes; the oldest mapping goes first.
class TSpareMappings final {
 public:
  TSpareMappings() = default;
  TSpareMappings(const TSpareMappings&) = delete;
  TSpareMappings& operator=(const TSpareMappings&) = delete;
  ~TSpareMappings() {
    for (const TMapping& mapping : FMappings) munmap(mapping.Memory, mapping.Capacity);
  }

  // The smallest kept mapping of at least `capacity` bytes, taken out of the
  // list, or a new mapping of `capacity` bytes.
  TMapping Take(std::size_t capacity) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      auto best = FMappings.end();
      for (auto it = FMappings.begin(); it != FMappings.end(); ++it) {
        if (it->Capacity >= capacity && (best == FMappings.end() || it->Capacity < best->Capacity))
          best = it;
      }
      if (best != FMappings.end()) {
        const TMapping mapping = *best;
        FMappings.erase(best);
        FBytes -= mapping.Capacity;
        return mapping;
      }
    }
    return {NewMapping(capacity), capacity};
  }

  // Keeps `mapping` for a later Take, unmapping the oldest ones beyond
  // kSpareBytes; a mapping that cannot be listed is unmapped at once.
  void Keep(TMapping mapping) noexcept {
    std::lock_guard<std::mutex> guard(FLock);
    try {
      FMappings.push_back(mapping);
    } catch (...) {
      munmap(mapping.Memory, mapping.Capacity);
      return;
    }
    FBytes += mapping.Capacity;
    while (FBytes > kSpareBytes) {
      const TMapping oldest = FMappings.front();
      FMappings.pop_front();
      FBytes -= oldest.Capacity;
      munmap(oldest.Memory, oldest.Capacity);
    }
  }

 private:
  static constexpr std::size_t kSpareBytes = std::size_t(128) << 20;

  std::mutex FLock;
  std::deque<TMapping> FMappings;  // guarded by FLock, oldest first
  std::size_t FBytes = 0;          // guarded by FLock
};

// Outside every process scope streams map and unmap without keeping any.
constinit TProcessSlot<TSpareMappings> gSpareMappings("spare stream mappings");

TMapping TakeMapping(std::size_t capacity) {
  TSpareMappings* spare = gSpareMappings.Find();
  return spare != nullptr ? spare->Take(capacity) : TMapping{NewMapping(capacity), capacity};
}

void KeepMapping(TMapping mapping) noexcept {
  if (TSpareMappings* spare = gSpareMappings.Find())
    spare->Keep(mapping);
  else
    munmap(mapping.Memory, mapping.Capacity);
}

}  // namespace

std::unique_ptr<TScopePart> MakeSpareMappings() { return gSpareMappings.Make(); }

TMemoryStream::TMemoryStream(const std::vector<uint8_t>& bytes) {
  GrowTo(bytes.size());
  if (!bytes.empty()) std::memcpy(FMemory, bytes.data(), bytes.size());
}

TMemoryStream::~TMemoryStream() { Release(); }

void TMemoryStream::Release() {
  if (FMapped) {
    KeepMapping({FMemory, FCapacity});
  } else {
    std::free(FMemory);
  }
  FMemory = nullptr;
  FSize = FCapacity = 0;
  FMapped = false;
}

void TMemoryStream::Reserve(std::size_t capacity) {
  if (capacity <= FCapacity) return;
  // Small streams grow in steps of at least kMinimumCapacity, not a realloc per write.
  const std::size_t wanted = std::max({capacity, FCapacity + FCapacity / 2, kMinimumCapacity});
  if (wanted < kMappedBlock) {
    void* memory = std::realloc(FMemory, wanted);
    if (memory == nullptr) FailAllocation();
    FMemory = static_cast<uint8_t*>(memory);
    FCapacity = wanted;
    return;
  }
  TMapping mapping{nullptr, RoundUp(wanted, kHugePage)};
  if (FMapped) {
    // The pages move with their mapping: nothing is copied.
    void* moved = mremap(FMemory, FCapacity, mapping.Capacity, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) FailAllocation();
    mapping.Memory = static_cast<uint8_t*>(moved);
    madvise(mapping.Memory, mapping.Capacity, MADV_HUGEPAGE);
  } else {
    mapping = TakeMapping(mapping.Capacity);
    if (FSize > 0) std::memcpy(mapping.Memory, FMemory, FSize);
    std::free(FMemory);
  }
  FMemory = mapping.Memory;
  FCapacity = mapping.Capacity;
  FMapped = true;
}

void TMemoryStream::GrowTo(std::size_t size) {
  if (size <= FSize) return;
  Reserve(size);
  std::memset(FMemory + FSize, 0, size - FSize);
  FSize = size;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Invalid stream size");
  GrowTo(static_cast<std::size_t>(newSize));
  FSize = static_cast<std::size_t>(newSize);
  FPosition = std::min(FPosition, newSize);
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  const auto size = static_cast<int64_t>(FSize);
  if (count <= 0 || FPosition >= size) return 0;
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - FPosition));
  std::memcpy(buffer, FMemory + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const auto end = static_cast<std::size_t>(FPosition + count);
  if (end > FSize) {
    // Appending within the capacity, the common case, needs neither call.
    if (end > FCapacity) Reserve(end);
    if (static_cast<std::size_t>(FPosition) > FSize) GrowTo(static_cast<std::size_t>(FPosition));
    FSize = end;
  }
  std::memcpy(FMemory + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition += count;
  return count;
}

int64_t TMemoryStream::WriteFrom(TStream& source, int64_t count) {
  if (count <= 0) return 0;
  const auto start = static_cast<std::size_t>(FPosition);
  Reserve(start + static_cast<std::size_t>(count));
  GrowTo(start);
  int64_t done = 0;
  while (done < count) {
    const auto want = static_cast<int32_t>(std::min<int64_t>(count - done, 1 << 30));
    const int32_t got = source.Read(FMemory + start + done, want);
    if (got <= 0) break;
    done += got;
  }
  FSize = std::max(FSize, start + static_cast<std::size_t>(done));
  FPosition += done;
  return done;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = FPosition;
  if (origin == TSeekOrigin::End) base = static_cast<int64_t>(FSize);
  const int64_t target = base + offset;
  if (target < 0) return -1;
  FPosition = target;
  return FPosition;
}

void TMemoryStream::Clear() {
  Release();
  FPosition = 0;
}

void THandleStream::SetSize(int64_t newSize) {
  if (ftruncate(FHandle, static_cast<off_t>(newSize)) != 0) RaiseLastOSError("ftruncate");
  if (Position() > newSize) Seek(newSize, TSeekOrigin::Beginning);
}

int32_t THandleStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = read(FHandle, buffer, static_cast<std::size_t>(count));
  while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

int32_t THandleStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = write(FHandle, buffer, static_cast<std::size_t>(count));
  while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == TSeekOrigin::Current) whence = SEEK_CUR;
  if (origin == TSeekOrigin::End) whence = SEEK_END;
  return lseek(FHandle, static_cast<off_t>(offset), whence);
}

namespace {

THandle OpenFile(const std::string& fileName, TFileMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case TFileMode::Create:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case TFileMode::OpenRead:
      flags |= O_RDONLY;
      break;
    case TFileMode::OpenWrite:
      flags |= O_WRONLY;
      break;
    case TFileMode::OpenReadWrite:
      flags |= O_RDWR;
      break;
  }
  const THandle handle = open(fileName.c_str(), flags, 0666);
  if (handle == kNoHandle) {
    const char* what = mode == TFileMode::Create ? "Cannot create file \"" : "Cannot open file \"";
    throw EFOpenError(what + fileName + "\". " + std::strerror(errno));
  }
  return handle;
}

}  // namespace

TFileStream::TFileStream(const std::string& fileName, TFileMode mode)
    : THandleStream(OpenFile(fileName, mode)), FFileName(fileName) {}

TFileStream::~TFileStream() { CloseHandle(FHandle); }

}  // namespace quv
