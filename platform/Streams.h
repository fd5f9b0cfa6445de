#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/FileHandle.h"
#include "platform/ProcessSlot.h"

namespace quv {

// A failure of a stream operation; the named stream errors derive from it.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// ReadBuffer could not read the bytes it was asked for.
class EReadError : public EStreamError {
 public:
  EReadError() : EStreamError("Stream read error") {}
};

// WriteBuffer could not write the bytes it was asked for.
class EWriteError : public EStreamError {
 public:
  EWriteError() : EStreamError("Stream write error") {}
};

// A file stream could not open or create its file.
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

enum class TSeekOrigin : uint8_t { Beginning, Current, End };

// The stream base class. Read and Write move up to `count` bytes and return how
// many moved (0 at the end, -1 on a failure of the system); Seek returns the
// new position, or -1 when the target is not a valid position. Not thread-safe.
class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  virtual void SetSize(int64_t newSize) = 0;
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  // Read or write exactly `count` bytes, or raise EReadError / EWriteError.
  void ReadBuffer(void* buffer, int32_t count);
  void WriteBuffer(const void* buffer, int32_t count);

  int64_t Position() { return Seek(0, TSeekOrigin::Current); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::Beginning); }
  int64_t Size();
  // Bytes between the position and the end (0 when positioned past the end).
  int64_t Remaining();
};

// A read-only view of bytes (those of a memory stream) that converts to and
// compares with a byte vector. Valid until the bytes change.
class TByteView : public std::span<const uint8_t> {
 public:
  using std::span<const uint8_t>::span;
  operator std::vector<uint8_t>() const { return {begin(), end()}; }
  friend bool operator==(TByteView left, TByteView right) {
    return std::equal(left.begin(), left.end(), right.begin(), right.end());
  }
  friend bool operator==(TByteView left, const std::vector<uint8_t>& right) {
    return left == TByteView(right);
  }
};

// Makes the process's list of spare mappings that large memory streams reuse.
std::unique_ptr<TScopePart> MakeSpareMappings();

// A stream over a growable block of memory. Writing past the end grows it; a
// position beyond the end reads nothing and a write there fills the gap with 0.
// Large blocks live in their own mapping, grown without copying and backed by
// huge pages where the system offers them; spare capacity is never filled.
class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(const std::vector<uint8_t>& bytes);
  ~TMemoryStream() override;

  void SetSize(int64_t newSize) override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  const uint8_t* Memory() const { return FMemory; }
  TByteView Bytes() const { return {FMemory, FSize}; }
  void Clear();
  // Reads up to `count` bytes of `source` straight into this stream at its
  // position, growing it as needed; returns the bytes read (a short count
  // when `source` ends first).
  int64_t WriteFrom(TStream& source, int64_t count);

 private:
  // Makes room for at least `capacity` bytes, keeping the content.
  void Reserve(std::size_t capacity);
  // Grows the size to `size` (when larger), zero-filling the new bytes.
  void GrowTo(std::size_t size);
  void Release();

  uint8_t* FMemory = nullptr;
  std::size_t FSize = 0;
  std::size_t FCapacity = 0;
  bool FMapped = false;  // FMemory is a mapping of its own, else from malloc
  int64_t FPosition = 0;
};

// A stream over a descriptor it borrows: `handle` must stay open while the
// stream is used.
class THandleStream : public TStream {
 public:
  explicit THandleStream(THandle handle) : FHandle(handle) {}

  void SetSize(int64_t newSize) override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  THandle Handle() const { return FHandle; }

 protected:
  THandle FHandle;
};

enum class TFileMode : uint8_t {
  Create,         // create or truncate, read and write
  OpenRead,       // existing file, read only
  OpenWrite,      // existing file, write only
  OpenReadWrite,  // existing file, read and write
};

// A stream over a file that it opens and closes itself.
class TFileStream final : public THandleStream {
 public:
  // Raises EFOpenError naming the file and the system's reason.
  TFileStream(const std::string& fileName, TFileMode mode);
  ~TFileStream() override;

  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
};

}  // namespace quv
