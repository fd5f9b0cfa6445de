#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "platform/TempFile.h"
#include "server/common/BufferManager.h"

namespace quv {

// A write-back buffer in front of another stream (the inner stream), which may
// be made only when it is first needed. Position and size are kept here; the
// inner stream is touched only by a flush, a refill, a read or write that does
// not fit in the buffer, or a SetSize beyond the buffer. A borrowed inner
// stream must outlive this one. Not thread-safe.
class TquvBufferedStream : public TStream {
 public:
  static constexpr uint8_t kBufferedReads = 1;
  static constexpr uint8_t kBufferedWrites = 2;

  // A `bufferSize` of 0 asks for the default: the process-wide buffer
  // manager's buffers when UseBufferManager is on, else the default file
  // buffer size over files and 8192 bytes over other streams. A size below
  // 8192 is raised to it, except over files; over an in-memory stream there
  // is no buffer (unless lent by the manager).
  TquvBufferedStream(TStream* inner, int32_t bufferSize, bool ownsInner = false);
  ~TquvBufferedStream() override;

  void SetSize(int64_t newSize) override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  // Writes a dirty buffer to the inner stream.
  void Flush();
  // The inner stream, made when there is none yet. Raises an error when none
  // can be made.
  TStream& InnerStream();
  bool HasInner() const { return FInner != nullptr; }

  // Supplies the inner stream when it is first needed; the stream returned is
  // freed with this one when OwnsInner is set.
  std::function<TStream*()> OnGetStream;
  bool OwnsInner = false;
  // A refill starts at the requested position; when false, a third of a
  // buffer before it.
  bool AlignToPosition = true;
  bool FlushOnDestroy = true;

  void SetModes(uint8_t modes) { FModes = modes; }
  int32_t Capacity() const { return FCapacity; }

 protected:
  // Writes exactly `count` bytes to the inner stream at its position.
  virtual void WriteToInner(const void* buffer, int32_t count);
  // Reads up to `count` bytes of the inner stream at its position.
  virtual int32_t ReadFromInner(void* buffer, int32_t count);
  // Makes the inner stream; here the result of OnGetStream, or null.
  virtual TStream* CreateInnerStream();
  // From now on the buffer is sized as if no size had been asked for.
  void DropRequestedSize() { FRequestedSize = 0; }

 private:
  bool Buffered(uint8_t mode) const { return (FModes & mode) != 0 && FCapacity > 0; }
  bool InWindow(int64_t position, int64_t count) const;
  // Sizes the buffer for the inner stream known now, keeping its bytes.
  void SizeBuffer();
  void Refill();
  int32_t ReadDirect(void* buffer, int32_t count);
  void WriteDirect(const void* buffer, int32_t count);

  TStream* FInner;
  uint8_t FModes = kBufferedReads | kBufferedWrites;
  int32_t FRequestedSize;
  // Gives a buffer of its own back: those of the common size go to a small
  // per-thread store that the next stream takes them from.
  struct TOwnBufferRelease {
    std::size_t Size;  // value-initialised to 0 with an empty buffer
    void operator()(uint8_t* buffer) const;
  };

  // The buffer: FBuffer points into FOwnBuffer or FLentBuffer.
  uint8_t* FBuffer = nullptr;
  std::unique_ptr<uint8_t[], TOwnBufferRelease> FOwnBuffer;
  TLentBuffer FLentBuffer;
  int32_t FCapacity = 0;
  int32_t FValidBytes = 0;
  bool FDirty = false;
  int64_t FPosition = 0;
  int64_t FSize = 0;
  int64_t FWindowStart = 0;
};

// The open mode of a TTempStream: access in the low two bits, sharing in bits
// 4 to 7. POSIX has no share modes, so the sharing bits change nothing.
inline constexpr uint32_t kTempOpenRead = 0x00;
inline constexpr uint32_t kTempOpenWrite = 0x01;
inline constexpr uint32_t kTempOpenReadWrite = 0x02;
inline constexpr uint32_t kTempShareExclusive = 0x10;
inline constexpr uint32_t kTempShareDenyWrite = 0x20;
inline constexpr uint32_t kTempShareDenyRead = 0x30;
inline constexpr uint32_t kTempShareDenyNone = 0x40;

// A stream over a temporary file, removed when the stream is closed unless it
// is kept. Not thread-safe.
class TTempStream final : public THandleStream {
 public:
  // An empty `fileName` stands for a new name from TempFileName (a leftover
  // file of that name is emptied); a given name is opened, or created when
  // missing. A new delete-on-close file has no entry in the folder until its
  // name is asked for, so that it vanishes with the process however the
  // process ends. Raises EOSError with the system's reason on failure.
  TTempStream(const std::string& fileName, bool deleteOnClose, uint32_t mode);

  // The file's name, under which other code can open it while this stream
  // lives (a new file is entered in the folder now).
  const std::string& FileName() { return FFile.FileName(); }
  bool KeepFile() const { return !FFile.DeleteOnClose(); }

 private:
  explicit TTempStream(TTempFile file);
  TTempFile FFile;
};

// A buffered stream that lives in memory until its content leaves the first
// buffer window, and then in a temporary file that goes with the stream.
class TquvBufferedTempStream final : public TquvBufferedStream {
 public:
  // `bufferSize` is the memory-only buffer; once the content spills to the
  // file, the buffer grows to the default size over files.
  explicit TquvBufferedTempStream(int32_t bufferSize);

 protected:
  TStream* CreateInnerStream() override;
};

// A window of `length` bytes (0: up to the end of the parent) from `start` of a
// parent stream. A borrowed parent must outlive the window. Not thread-safe.
class TSubStream final : public TStream {
 public:
  // Positions `parent` at `start`. A negative start or length raises an error.
  TSubStream(TStream* parent, bool ownsParent, int64_t length, int64_t start);
  ~TSubStream() override;

  // Sets the parent's size to the window's start plus `newSize`.
  void SetSize(int64_t newSize) override;
  int32_t Read(void* buffer, int32_t count) override;
  // Raises "Can not write after stream boundaries" past the window's end (any
  // write to an open-ended window).
  int32_t Write(const void* buffer, int32_t count) override;
  // Clamps the target to the window (from the end of an open-ended window is
  // its start); an unknown origin raises "Invalid Origin in TSubStream.Seek".
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

 private:
  TStream* FParent;
  bool FOwnsParent;
  int64_t FStart;
  int64_t FLength;
  int64_t FPosition = 0;
};

// Makes the process's tag and counter of temporary names, after removing the
// files that ended processes left in the temporary folder.
std::unique_ptr<TScopePart> MakeTempStreamNames();

// A new temporary file name: the temporary folder, "quvSTR", the process tag
// (process id "." module handle), "%" and a process-wide counter. Thread-safe.
std::string TempFileName();

// Removes the files of `folder` that TempFileName named for processes that no
// longer run, as a process that dies leaves them; every other name, and every
// folder or link, stays. Returns how many went.
int32_t RemoveTempFilesOfEndedProcesses(const std::string& folder);

// The name of a file that holds the bytes of `stream`: the file under a
// wrapper or buffered stream (flushed first), a temporary stream's own file,
// or else a new file from TempFileName that receives a copy of all of it and
// that the caller removes.
std::string StreamFileName(TStream& stream);

// The buffer size for buffered streams over files: about 1/8000 of the
// physical memory, at least 1024 bytes.
int32_t DefaultFileBufferSize();

class TquvStream;
// The stream of a recordset's rows or row index: an owning TquvStream over a
// buffered temporary stream with 8192-byte buffers, on `fileName` (removed
// when closed) or on an anonymous temporary file when the name is empty.
std::unique_ptr<TquvStream> NewRowStream(const std::string& fileName = "");

}  // namespace quv
