#include "server/common/quvBufferedStreams.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>

#include "platform/DebugOutput.h"
#include "platform/SystemInfo.h"
#include "server/common/quvstream.h"

namespace quv {

namespace {

constexpr int32_t kMinimumBufferSize = 8192;
constexpr int32_t kMinimumFileBufferSize = 1024;
constexpr uint64_t kMemoryPerFileBufferByte = 8000;

constexpr std::string_view kTempNamePrefix = "quvSTR";

// What this unit sets up once per process: the tag and counter of the
// temporary names and the default buffer size over files. Files that ended
// processes left behind are swept first.
struct TStreamsUnit {
  TStreamsUnit() { RemoveTempFilesOfEndedProcesses(TempDirectory()); }

  const std::string ProcessTag =
      std::to_string(ProcessId()) + "." + std::to_string(ModuleInstanceHandle());
  const int32_t FileBufferSize = static_cast<int32_t>(
      std::clamp<uint64_t>(PhysicalMemorySize() / kMemoryPerFileBufferByte, kMinimumFileBufferSize,
                           std::numeric_limits<int32_t>::max()));
  std::atomic<uint64_t> NameCounter{0};
};

constinit TProcessSlot<TStreamsUnit> gStreamsUnit("temporary stream names");

TStreamsUnit& StreamsUnit() { return *gStreamsUnit; }

bool IsFileStream(TStream* stream) {
  return dynamic_cast<TFileStream*>(stream) != nullptr ||
         dynamic_cast<TTempStream*>(stream) != nullptr;
}

// The access of a TTempStream mode; the value 3 has no meaning.
TTempFileAccess TempAccess(uint32_t mode) {
  switch (mode & 3) {
    case kTempOpenRead:
      return TTempFileAccess::Read;
    case kTempOpenWrite:
      return TTempFileAccess::Write;
    case kTempOpenReadWrite:
      return TTempFileAccess::ReadWrite;
    default:
      errno = EINVAL;
      RaiseLastOSError("open temporary file with mode " + std::to_string(mode));
  }
}

// Every small recordset makes and frees two row streams with buffers of this
// size; keeping a few freed ones per thread spares the allocator the work.
class TKeptBuffers final {
 public:
  static constexpr std::size_t kSize = kMinimumBufferSize;

  ~TKeptBuffers() {
    for (uint8_t* buffer : FBuffers) delete[] buffer;
  }
  uint8_t* Take() {
    if (FBuffers.empty()) return new uint8_t[kSize];
    uint8_t* buffer = FBuffers.back();
    FBuffers.pop_back();
    return buffer;
  }
  void Keep(uint8_t* buffer) {
    if (FBuffers.size() < kKept) {
      FBuffers.push_back(buffer);
    } else {
      delete[] buffer;
    }
  }

 private:
  static constexpr std::size_t kKept = 16;
  std::vector<uint8_t*> FBuffers;
};

thread_local TKeptBuffers GKeptBuffers;

uint8_t* TakeKeptBuffer(std::size_t size) {
  return size == TKeptBuffers::kSize ? GKeptBuffers.Take() : new uint8_t[size];
}

}  // namespace

std::unique_ptr<TScopePart> MakeTempStreamNames() { return gStreamsUnit.Make(); }

void TquvBufferedStream::TOwnBufferRelease::operator()(uint8_t* buffer) const {
  if (Size == TKeptBuffers::kSize) {
    GKeptBuffers.Keep(buffer);
  } else {
    delete[] buffer;
  }
}

int32_t DefaultFileBufferSize() { return StreamsUnit().FileBufferSize; }

std::string TempFileName() {
  TStreamsUnit& unit = StreamsUnit();
  return TempDirectory() + std::string(kTempNamePrefix) + unit.ProcessTag + "%" +
         std::to_string(unit.NameCounter.fetch_add(1));
}

namespace {

// Reads decimal digits up to `end` (or to the end of `text` when `end` is 0)
// into `value`; false when there are none, they overflow or `end` is missing.
template <class T>
bool TakeNumber(std::string_view& text, char end, T& value) {
  const char* last = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), last, value);
  if (error != std::errc() || stop == text.data()) return false;
  text.remove_prefix(std::size_t(stop - text.data()));
  if (end == 0) return text.empty();
  if (text.empty() || text.front() != end) return false;
  text.remove_prefix(1);
  return true;
}

// The process id of a name that TempFileName made ("quvSTR" pid "." handle
// "%" counter); 0 for any other name.
uint32_t ProcessIdOfTempName(std::string_view name) {
  if (!name.starts_with(kTempNamePrefix)) return 0;
  name.remove_prefix(kTempNamePrefix.size());
  uint32_t processId = 0;
  uintptr_t handle = 0;
  uint64_t counter = 0;
  if (!TakeNumber(name, '.', processId) || !TakeNumber(name, '%', handle) ||
      !TakeNumber(name, 0, counter) || processId > uint32_t(std::numeric_limits<int32_t>::max()))
    return 0;
  return processId;
}

}  // namespace

int32_t RemoveTempFilesOfEndedProcesses(const std::string& folder) {
  int32_t removed = 0;
  std::error_code error;
  std::filesystem::directory_iterator entry(folder, error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const uint32_t processId = ProcessIdOfTempName(entry->path().filename().string());
    if (processId == 0 || ProcessExists(processId)) continue;
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(entry->symlink_status(ignored))) continue;
    if (std::filesystem::remove(entry->path(), ignored)) ++removed;
  }
  return removed;
}

TquvBufferedStream::TquvBufferedStream(TStream* inner, int32_t bufferSize, bool ownsInner)
    : OwnsInner(ownsInner), FInner(inner), FRequestedSize(std::max(0, bufferSize)) {
  if (FInner != nullptr) FSize = FInner->Size();
  SizeBuffer();
}

TquvBufferedStream::~TquvBufferedStream() {
  if (FlushOnDestroy) {
    try {
      Flush();
    } catch (const std::exception& e) {
      OutputDebugString(std::string("quvstream: buffered bytes lost on close: ") + e.what());
    }
  }
  FLentBuffer.Release();
  if (OwnsInner) delete FInner;
}

void TquvBufferedStream::SizeBuffer() {
  if (FRequestedSize == 0 && UseBufferManager()) {
    // A buffer in use (with its bytes) stays; the manager lends only the first.
    if (FCapacity == 0) {
      FLentBuffer = TLentBuffer(ProcessBufferManager());
      FBuffer = FLentBuffer.Bytes().data();
      FCapacity = static_cast<int32_t>(FLentBuffer.Bytes().size());
    }
    return;
  }
  int32_t wanted = FRequestedSize;
  if (IsFileStream(FInner)) {
    if (wanted == 0) wanted = DefaultFileBufferSize();
  } else if (dynamic_cast<TMemoryStream*>(FInner) != nullptr) {
    wanted = 0;
  } else {
    wanted = std::max(wanted, kMinimumBufferSize);
  }
  if (FCapacity >= wanted) return;
  // Only the valid bytes are ever read, so the new buffer is not cleared.
  const auto size = static_cast<std::size_t>(wanted);
  std::unique_ptr<uint8_t[], TOwnBufferRelease> own(TakeKeptBuffer(size), TOwnBufferRelease{size});
  std::copy_n(FBuffer, FValidBytes, own.get());
  FOwnBuffer = std::move(own);
  FBuffer = FOwnBuffer.get();
  FCapacity = wanted;
  FLentBuffer.Release();
}

TStream* TquvBufferedStream::CreateInnerStream() { return OnGetStream ? OnGetStream() : nullptr; }

TStream& TquvBufferedStream::InnerStream() {
  if (FInner == nullptr) {
    FInner = CreateInnerStream();
    if (FInner == nullptr) throw EStreamError("The buffered stream has no inner stream");
    SizeBuffer();
  }
  return *FInner;
}

void TquvBufferedStream::WriteToInner(const void* buffer, int32_t count) {
  FInner->WriteBuffer(buffer, count);
}

int32_t TquvBufferedStream::ReadFromInner(void* buffer, int32_t count) {
  return FInner->Read(buffer, count);
}

bool TquvBufferedStream::InWindow(int64_t position, int64_t count) const {
  return position >= FWindowStart && position + count <= FWindowStart + FValidBytes;
}

void TquvBufferedStream::Flush() {
  if (FDirty && FValidBytes >= 1) {
    InnerStream().Seek(FWindowStart, TSeekOrigin::Beginning);
    WriteToInner(FBuffer, FValidBytes);
  }
  FDirty = false;
}

void TquvBufferedStream::Refill() {
  Flush();
  FWindowStart = AlignToPosition ? FPosition : std::max<int64_t>(0, FPosition - FCapacity / 3);
  // As much of a buffer as the inner stream holds from the window's start.
  InnerStream().Seek(FWindowStart, TSeekOrigin::Beginning);
  FValidBytes = 0;
  while (FValidBytes < FCapacity) {
    const int32_t got = ReadFromInner(FBuffer + FValidBytes, FCapacity - FValidBytes);
    if (got <= 0) break;
    FValidBytes += got;
  }
}

int32_t TquvBufferedStream::ReadDirect(void* buffer, int32_t count) {
  Flush();
  InnerStream().Seek(FPosition, TSeekOrigin::Beginning);
  const int32_t got = ReadFromInner(buffer, count);
  if (got > 0) FPosition += got;
  return got;
}

void TquvBufferedStream::WriteDirect(const void* buffer, int32_t count) {
  Flush();
  InnerStream().Seek(FPosition, TSeekOrigin::Beginning);
  WriteToInner(buffer, count);
  // Buffered bytes under the written range are stale now.
  if (FPosition < FWindowStart + FValidBytes && FPosition + count > FWindowStart) FValidBytes = 0;
  FPosition += count;
  FSize = std::max(FSize, FPosition);
}

int32_t TquvBufferedStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || FPosition >= FSize) return 0;
  // Never past the end: a read beyond the content must not spill the buffer.
  int32_t n = static_cast<int32_t>(std::min<int64_t>(count, FSize - FPosition));
  if (!Buffered(kBufferedReads)) return ReadDirect(buffer, n);
  if (!InWindow(FPosition, n)) {
    if (n > FCapacity) return ReadDirect(buffer, n);
    Refill();
  }
  if (FPosition + n - FWindowStart > FCapacity) return ReadDirect(buffer, n);
  n = static_cast<int32_t>(std::clamp<int64_t>(FWindowStart + FValidBytes - FPosition, 0, n));
  std::memcpy(buffer, FBuffer + (FPosition - FWindowStart), std::size_t(n));
  FPosition += n;
  return n;
}

int32_t TquvBufferedStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  if (!Buffered(kBufferedWrites)) {
    WriteDirect(buffer, count);
    return count;
  }
  const bool fits = FPosition + count - FWindowStart <= FCapacity;
  if (!fits || FPosition < FWindowStart || FPosition > FWindowStart + FValidBytes) {
    Flush();
    FWindowStart = FPosition;
    FValidBytes = 0;
  }
  if (count > FCapacity) {
    WriteDirect(buffer, count);
    return count;
  }
  std::memcpy(FBuffer + (FPosition - FWindowStart), buffer, std::size_t(count));
  FDirty = true;
  FValidBytes =
      static_cast<int32_t>(std::max<int64_t>(FValidBytes, FPosition + count - FWindowStart));
  FPosition += count;
  FSize = std::max(FSize, FPosition);
  return count;
}

int64_t TquvBufferedStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = FPosition;
  if (origin == TSeekOrigin::End) base = FSize;
  if (base + offset < 0) return -1;
  FPosition = base + offset;
  return FPosition;
}

void TquvBufferedStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Invalid stream size");
  if (FInner == nullptr && newSize <= FCapacity && FWindowStart == 0) {
    // Still memory only: grown bytes are zeros that a later spill must write.
    if (newSize > FValidBytes) {
      std::memset(FBuffer + FValidBytes, 0, std::size_t(newSize - FValidBytes));
      FDirty = true;
    }
    FValidBytes = static_cast<int32_t>(newSize);
    FSize = newSize;
  } else {
    if (newSize < FSize) {
      Flush();
      // Buffered bytes beyond the new end must not come back with a later flush.
      FValidBytes =
          static_cast<int32_t>(std::clamp<int64_t>(newSize - FWindowStart, 0, FValidBytes));
    }
    TStream& inner = InnerStream();
    inner.SetSize(newSize);
    FSize = inner.Size();
  }
  FPosition = std::min(FPosition, FSize);
}

namespace {

// Nobody knows a new name yet, so a new delete-on-close file stays unnamed
// until its name is asked for.
TTempFile OpenTempFile(const std::string& fileName, bool deleteOnClose, uint32_t mode) {
  if (!fileName.empty()) return TTempFile(fileName, TempAccess(mode), deleteOnClose, false);
  if (deleteOnClose) return TTempFile::Unnamed(TempFileName(), TempAccess(mode));
  return TTempFile(TempFileName(), TempAccess(mode), false, true);
}

}  // namespace

TTempStream::TTempStream(const std::string& fileName, bool deleteOnClose, uint32_t mode)
    : TTempStream(OpenTempFile(fileName, deleteOnClose, mode)) {}

TTempStream::TTempStream(TTempFile file) : THandleStream(file.Handle()), FFile(std::move(file)) {}

TquvBufferedTempStream::TquvBufferedTempStream(int32_t bufferSize)
    : TquvBufferedStream(nullptr, bufferSize, true) {
  FlushOnDestroy = false;
}

// The size asked for bounds the memory-only phase (small recordsets never
// touch the disk); spilled content streams to its file in big blocks, which
// also keeps the file in large page-cache pages that read back fast.
TStream* TquvBufferedTempStream::CreateInnerStream() {
  DropRequestedSize();
  return new TTempStream("", true, kTempOpenReadWrite | kTempShareDenyNone);
}

TSubStream::TSubStream(TStream* parent, bool ownsParent, int64_t length, int64_t start)
    : FParent(parent), FOwnsParent(ownsParent), FStart(start), FLength(length) {
  if (start < 0 || length < 0) throw Exception("Invalid window in TSubStream");
  FParent->Seek(FStart, TSeekOrigin::Beginning);
}

TSubStream::~TSubStream() {
  if (FOwnsParent) delete FParent;
}

void TSubStream::SetSize(int64_t newSize) { FParent->SetSize(FStart + newSize); }

int32_t TSubStream::Read(void* buffer, int32_t count) {
  int64_t n = count;
  if (FLength > 0) n = std::clamp<int64_t>(FLength - FPosition, 0, count);
  if (n <= 0) return 0;
  FParent->Seek(FStart + FPosition, TSeekOrigin::Beginning);
  const int32_t got = FParent->Read(buffer, static_cast<int32_t>(n));
  if (got > 0) FPosition += got;
  return got;
}

int32_t TSubStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  if (FPosition + count > FLength) throw Exception("Can not write after stream boundaries");
  FParent->Seek(FStart + FPosition, TSeekOrigin::Beginning);
  const int32_t written = FParent->Write(buffer, count);
  if (written > 0) FPosition += written;
  return written;
}

int64_t TSubStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t target = 0;
  switch (origin) {
    case TSeekOrigin::Beginning:
      target = FStart + offset;
      break;
    case TSeekOrigin::Current:
      target = FStart + FPosition + offset;
      break;
    case TSeekOrigin::End:
      target = FLength > 0 ? FStart + FLength + offset : FStart;
      break;
    default:
      throw Exception("Invalid Origin in TSubStream.Seek");
  }
  target = std::max(target, FStart);
  if (FLength > 0) target = std::min(target, FStart + FLength);
  FParent->Seek(target, TSeekOrigin::Beginning);
  FPosition = target - FStart;
  return FPosition;
}

std::string StreamFileName(TStream& stream) {
  if (auto* wrapper = dynamic_cast<TquvStream*>(&stream)) return StreamFileName(wrapper->Stream());
  if (auto* buffered = dynamic_cast<TquvBufferedStream*>(&stream)) {
    buffered->Flush();
    return StreamFileName(buffered->InnerStream());
  }
  if (auto* temp = dynamic_cast<TTempStream*>(&stream)) return temp->FileName();
  const std::string name = TempFileName();
  TFileStream file(name, TFileMode::Create);
  CopyStreams(stream, file, 0);
  return name;
}

std::unique_ptr<TquvStream> NewRowStream(const std::string& fileName) {
  constexpr int32_t kRowStreamBuffer = 8192;
  TStream* inner =
      fileName.empty()
          ? static_cast<TStream*>(new TquvBufferedTempStream(kRowStreamBuffer))
          : new TquvBufferedStream(
                new TTempStream(fileName, true, kTempOpenReadWrite | kTempShareDenyNone),
                kRowStreamBuffer, true);
  return std::make_unique<TquvStream>(inner, true);
}

}  // namespace quv
