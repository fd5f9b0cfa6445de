#include "server/common/quvstream.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/Assertion.h"
#include "server/common/BufferManager.h"

namespace quv {

namespace {

constexpr std::string_view kReadDataStringError =
    "Invalid string size reading string in TquvStream.ReadDataString";
constexpr std::string_view kReadStringError =
    "Invalid string size reading string in TquvStream.ReadString";
constexpr std::string_view kReadStringWithNullTermError =
    "Invalid string size reading string in TquvStream.ReadStringWithNullTerm";
constexpr std::string_view kSkipStringError =
    "Invalid string size skipping string in TquvStream.SkipString";
constexpr int32_t kUncheckedStringSize = 65535;
constexpr int32_t kCopyChunk = 61440;
constexpr int64_t kSmallCopy = 4096;
constexpr int64_t kUncheckedCopySize = 65535;
constexpr std::string_view kCopyStreamsError = "Stream copy error at quvStreams.CopyStreams";

int32_t DecodeInt32(const uint8_t* b) {
  return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                              uint32_t(b[3]) << 24);
}

[[noreturn]] void Fail(std::string_view message) { throw Exception(std::string(message)); }

}  // namespace

TquvStream::TquvStream(TStream* stream, bool ownsStream)
    : FStream(stream), FOwnsStream(ownsStream) {
  if (FStream == nullptr) {
    FOwnedStream = std::make_unique<TMemoryStream>();
    FStream = FOwnedStream.get();
  } else if (ownsStream) {
    FOwnedStream.reset(stream);
  }
}

TquvStream::~TquvStream() = default;

void TquvStream::WriteInteger(int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  WriteBuffer(bytes, 4);
}

int32_t TquvStream::ReadInteger() {
  uint8_t bytes[4];
  ReadBuffer(bytes, 4);
  return DecodeInt32(bytes);
}

void TquvStream::WriteString(std::string_view s) {
  WriteInteger(static_cast<int32_t>(s.size()));
  WriteRawString(s);
}

void TquvStream::WriteRawString(std::string_view s) {
  WriteBuffer(s.data(), static_cast<int32_t>(s.size()));
}

bool TquvStream::ExceedsStream(int32_t length) {
  return length > kUncheckedStringSize && Position() + length > Size();
}

std::string TquvStream::ReadDataString() {
  const int32_t length = ReadInteger();
  if (length < 0 || ExceedsStream(length)) Fail(kReadDataStringError);
  std::string result(static_cast<std::size_t>(length), '\0');
  ReadBuffer(result.data(), length);
  return result;
}

int32_t TquvStream::ReadLength(std::string_view message) {
  uint8_t bytes[4];
  if (Read(bytes, 4) != 4) Fail(message);
  return DecodeInt32(bytes);
}

std::string TquvStream::ReadString() {
  const int32_t length = ReadLength(kReadStringError);
  if (ExceedsStream(length)) Fail(kReadStringError);
  if (length < 1) return {};
  std::string result(static_cast<std::size_t>(length), '\0');
  if (Read(result.data(), length) != length) Fail(kReadStringError);
  return result;
}

std::string TquvStream::ReadStringWithNullTerm() {
  const int32_t length = ReadLength(kReadStringError);
  if (length < 0 || ExceedsStream(length)) {
    throw EAssertionFailed(std::string(kReadStringWithNullTermError), "server/common/quvstream",
                           3222);
  }
  std::string result(static_cast<std::size_t>(length) + 1, '\0');
  if (Read(result.data(), length) != length) Fail(kReadStringError);
  return result;
}

int64_t TquvStream::SkipString() {
  const int32_t length = ReadInteger();
  if (length < 0) Fail(kSkipStringError);
  return Seek(length, TSeekOrigin::Current);
}

void TquvStream::WriteStream(TStream& source) {
  const int64_t size = source.Size();
  WriteInteger(static_cast<int32_t>(size));
  CopyExactly(source, *this, size);
}

void TquvStream::ReadStream(TStream& dest) {
  const int32_t count = ReadInteger();
  if (count > 0) CopyExactly(*this, dest, count);
}

void TquvStream::CopyExactly(TStream& source, TStream& dest, int64_t count) {
  std::vector<uint8_t> buffer(static_cast<std::size_t>(std::min<int64_t>(count, kCopyChunk)));
  while (count > 0) {
    const int32_t chunk = static_cast<int32_t>(std::min<int64_t>(count, kCopyChunk));
    source.ReadBuffer(buffer.data(), chunk);
    dest.WriteBuffer(buffer.data(), chunk);
    count -= chunk;
  }
}

namespace {

// The chunk of a copy of `count` bytes between `source` and `dest`.
int32_t CopyChunkSize(TStream& source, TStream& dest, int64_t count) {
  if (count > kSmallCopy) return kCopyChunk;
  if (auto* remote = dynamic_cast<TquvRemoteStream*>(&source)) return remote->CopyBufferSize();
  if (auto* remote = dynamic_cast<TquvRemoteStream*>(&dest)) return remote->CopyBufferSize();
  return kCopyChunk;
}

// Reports the percentage copied when it changed since the last report.
class TCopyProgress {
 public:
  TCopyProgress(const TquvProgressEvent& onProgress, int64_t total)
      : FOnProgress(onProgress), FTotal(total) {}

  void Report(int64_t remaining) {
    if (!FOnProgress) return;
    const int32_t percent =
        FTotal == 0 ? 0
                    : static_cast<int32_t>(std::llround(double(FTotal - remaining) / FTotal * 100));
    if (percent == FLastPercent) return;
    FLastPercent = percent;
    bool flag = false;
    FOnProgress(nullptr, percent, flag);
  }

 private:
  const TquvProgressEvent& FOnProgress;
  int64_t FTotal;
  int32_t FLastPercent = 0;
};

void CopyChunks(TStream& source, TStream& dest, int64_t count, std::span<uint8_t> buffer,
                const TquvProgressEvent& onProgress) {
  if (count > kUncheckedCopySize) {
    const int64_t size = source.Size();
    if (size > 0 && source.Position() + count > size) Fail(kCopyStreamsError);
  }
  TCopyProgress progress(onProgress, count);
  const auto chunk = static_cast<int64_t>(buffer.size());
  while (count > 0) {
    const int32_t want = static_cast<int32_t>(std::min(count, chunk));
    const int32_t got = source.Read(buffer.data(), want);
    if (got < 1 || got > want) break;
    dest.WriteBuffer(buffer.data(), got);
    count -= got;
    progress.Report(count);
  }
  if (count > 0) Fail(kCopyStreamsError);
}

}  // namespace

void CopyStreams(TStream& source, TStream& dest, int64_t count,
                 const TquvProgressEvent& onProgress) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  // Small copies borrow a pooled buffer when the pool is on; it goes back
  // whatever happens.
  TLentBuffer lent;
  std::vector<uint8_t> own;
  std::span<uint8_t> buffer;
  if (count <= kSmallCopy && UseBufferManager()) {
    lent = TLentBuffer(ProcessBufferManager());
    buffer = lent.Bytes();
  } else {
    own.resize(static_cast<std::size_t>(CopyChunkSize(source, dest, count)));
    buffer = own;
  }
  auto* remoteDest = dynamic_cast<TquvRemoteStream*>(&dest);
  if (remoteDest) remoteDest->BeforeCopy();
  try {
    CopyChunks(source, dest, count, buffer, onProgress);
  } catch (...) {
    if (remoteDest) remoteDest->AfterCopy();
    throw;
  }
  if (remoteDest) remoteDest->AfterCopy();
}

}  // namespace quv
