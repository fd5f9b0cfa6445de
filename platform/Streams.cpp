#include "platform/Streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EStreamError("Invalid stream size");
  FData.resize(static_cast<std::size_t>(newSize));
  FPosition = std::min(FPosition, newSize);
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
  const int64_t size = static_cast<int64_t>(FData.size());
  if (count <= 0 || FPosition >= size) return 0;
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - FPosition));
  std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const int64_t end = FPosition + count;
  if (end > static_cast<int64_t>(FData.size())) FData.resize(static_cast<std::size_t>(end));
  std::memcpy(FData.data() + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = FPosition;
  if (origin == TSeekOrigin::End) base = static_cast<int64_t>(FData.size());
  const int64_t target = base + offset;
  if (target < 0) return -1;
  FPosition = target;
  return FPosition;
}

void TMemoryStream::Clear() {
  FData.clear();
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
