#include "server/common/quvstream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/Assertion.h"
#include "platform/DateTime.h"
#include "platform/FailureGuard.h"
#include "platform/LittleEndian.h"
#include "server/common/BufferManager.h"
#include "server/common/quvIntf.h"
#include "server/common/quvRecordsetValue.h"
#include "support/DatasetIntf.h"

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
constexpr int64_t kMoveChunk = 65536;
constexpr int64_t kSmallCopy = 4096;
constexpr int64_t kUncheckedCopySize = 65535;
constexpr int64_t kMemoryCopyPiece = int64_t(4) << 20;
constexpr std::string_view kCopyStreamsError = "Stream copy error at quvStreams.CopyStreams";

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
  uint8_t bytes[4];
  PutInt32LE(bytes, value);
  WriteBuffer(bytes, 4);
}

int32_t TquvStream::ReadInteger() {
  uint8_t bytes[4];
  ReadBuffer(bytes, 4);
  return GetInt32LE(bytes);
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
  return GetInt32LE(bytes);
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
int32_t CopyChunkSize(TquvRemoteStream* remoteSource, TquvRemoteStream* remoteDest, int64_t count) {
  if (count > kSmallCopy) return kCopyChunk;
  if (remoteSource) return remoteSource->CopyBufferSize();
  if (remoteDest) return remoteDest->CopyBufferSize();
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

// The buffer of one copy, lent by the buffer manager when `pooled` (and given
// back whatever happens), else `size` bytes: on the stack when small.
class TCopyBuffer {
 public:
  TCopyBuffer(bool pooled, int32_t size) {
    if (pooled) {
      FLent = TLentBuffer(ProcessBufferManager());
      FBytes = FLent.Bytes();
    } else if (size <= kSmallCopy) {
      FBytes = std::span<uint8_t>(FLocal.data(), static_cast<std::size_t>(std::max(size, 1)));
    } else {
      // Every byte is written before it is read: no clearing.
      FOwn = std::make_unique_for_overwrite<uint8_t[]>(static_cast<std::size_t>(size));
      FBytes = std::span<uint8_t>(FOwn.get(), static_cast<std::size_t>(size));
    }
  }
  std::span<uint8_t> Bytes() const { return FBytes; }

 private:
  TLentBuffer FLent;
  std::array<uint8_t, kSmallCopy> FLocal;
  std::unique_ptr<uint8_t[]> FOwn;
  std::span<uint8_t> FBytes;
};

// Large copies fail early when the source cannot hold them.
void CheckSourceHolds(TStream& source, int64_t count) {
  if (count > kUncheckedCopySize) {
    const int64_t size = source.Size();
    if (size > 0 && source.Position() + count > size) Fail(kCopyStreamsError);
  }
}

void CopyChunks(TStream& source, TStream& dest, int64_t count, std::span<uint8_t> buffer,
                const TquvProgressEvent& onProgress) {
  CheckSourceHolds(source, count);
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

// Copies to or from a memory stream straight from or into its memory, in
// large pieces; false when neither side is one. Package streams keep their
// chunked copies.
bool CopyWithMemoryStream(TStream& source, TStream& dest, int64_t count,
                          const TquvProgressEvent& onProgress) {
  auto* memorySource = dynamic_cast<TMemoryStream*>(&source);
  auto* memoryDest = dynamic_cast<TMemoryStream*>(&dest);
  if ((!memorySource && !memoryDest) || dynamic_cast<TquvRemoteStream*>(&source) ||
      dynamic_cast<TquvRemoteStream*>(&dest)) {
    return false;
  }
  CheckSourceHolds(source, count);
  TCopyProgress progress(onProgress, count);
  while (count > 0) {
    const int64_t piece = std::min(count, kMemoryCopyPiece);
    int64_t moved = 0;
    if (memorySource) {
      const int64_t position = memorySource->Position();
      moved = std::clamp<int64_t>(memorySource->Size() - position, 0, piece);
      dest.WriteBuffer(memorySource->Memory() + position, static_cast<int32_t>(moved));
      memorySource->Seek(moved, TSeekOrigin::Current);
    } else {
      moved = memoryDest->WriteFrom(source, piece);
    }
    if (moved == 0) break;
    count -= moved;
    progress.Report(count);
  }
  if (count > 0) Fail(kCopyStreamsError);
  return true;
}

}  // namespace

void CopyStreams(TStream& source, TStream& dest, int64_t count,
                 const TquvProgressEvent& onProgress) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (count > kSmallCopy && CopyWithMemoryStream(source, dest, count, onProgress)) return;
  // Small copies borrow a pooled buffer when the pool is on.
  const bool pooled = count <= kSmallCopy && UseBufferManager();
  auto* remoteDest = dynamic_cast<TquvRemoteStream*>(&dest);
  const int64_t chunk =
      std::min<int64_t>(CopyChunkSize(dynamic_cast<TquvRemoteStream*>(&source), remoteDest, count),
                        std::max<int64_t>(count, 1));
  TCopyBuffer copyBuffer(pooled, pooled ? 0 : static_cast<int32_t>(chunk));
  const std::span<uint8_t> buffer = copyBuffer.Bytes();
  if (remoteDest) remoteDest->BeforeCopy();
  {
    const TFailureGuard afterCopy([remoteDest] {
      if (remoteDest) remoteDest->AfterCopy();
    });
    CopyChunks(source, dest, count, buffer, onProgress);
  }
  if (remoteDest) remoteDest->AfterCopy();
}

void MoveStreamBytes(TStream& stream, int64_t from, int64_t to, int64_t count) {
  std::vector<uint8_t> chunk(static_cast<std::size_t>(std::min<int64_t>(count, kMoveChunk)));
  for (int64_t done = 0; done < count;) {
    const auto n = static_cast<int32_t>(std::min<int64_t>(kMoveChunk, count - done));
    const int64_t offset = to > from ? count - done - n : done;
    stream.SetPosition(from + offset);
    stream.ReadBuffer(chunk.data(), n);
    stream.SetPosition(to + offset);
    stream.WriteBuffer(chunk.data(), n);
    done += n;
  }
}

// Field values ------------------------------------------------------------

namespace {

constexpr std::string_view kUnsupportedInterface = "Unsuported interface at quvStream.VarToData.";
constexpr std::string_view kNotTextOrInterface =
    "Error writing stream at quvStream.VarToData. Could not convert Variant to String or "
    "Interface";
constexpr std::string_view kCopyReadError = "Erro lendo stream em \"CopyStreams\"";

// Little-endian, low byte first.
void WriteLittleEndian(TStream& dest, uint64_t bits, int32_t width) {
  uint8_t bytes[8];
  PutLittleEndian(bytes, bits, width);
  dest.WriteBuffer(bytes, width);
}

void WriteInt32(TStream& dest, int32_t value) {
  WriteLittleEndian(dest, static_cast<uint32_t>(value), 4);
}

void WriteDouble(TStream& dest, double value) {
  WriteLittleEndian(dest, std::bit_cast<uint64_t>(value), 8);
}

int32_t ReadInt32(std::span<const uint8_t> bytes) { return GetInt32LE(bytes.data()); }

double ReadDouble(std::span<const uint8_t> bytes) {
  return std::bit_cast<double>(GetLittleEndian(bytes.data(), 8));
}

TRef<IStream> StreamOf(const TVariant& value) {
  TRef<IStream> stream = Supports<IStream>(value.Interface());
  if (!stream) Fail(kUnsupportedInterface);
  return stream;
}

void WriteText(TStream& dest, std::string_view text, bool withLength) {
  if (withLength) WriteInt32(dest, static_cast<int32_t>(text.size()));
  dest.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
}

void WriteTextOrStream(const TVariant& value, TStream& dest, bool withLength) {
  if (value.Kind() == TVarKind::Interface) {
    CopyStreams(*StreamOf(value), dest, 0, withLength);
  } else if (value.IsText()) {
    WriteText(dest, value.Text(), withLength);
  } else {
    WriteText(dest, value.ToText(), withLength);
  }
}

TTimeStamp TimeStampOf(const TVariant& value) { return DateTimeToTimeStamp(value.ToDateTime()); }

void WriteIntegerValue(const TVariant& value, TStream& dest, const TquvSymbolDef&, bool) {
  WriteInt32(dest, value.ToInteger());
}

void WriteFloatValue(const TVariant& value, TStream& dest, const TquvSymbolDef&, bool) {
  WriteDouble(dest, value.ToDouble());
}

// Date: day number, then 0.
void WriteDateValue(const TVariant& value, TStream& dest, const TquvSymbolDef&, bool) {
  WriteInt32(dest, TimeStampOf(value).Date);
  WriteInt32(dest, 0);
}

// Time: 0, then milliseconds since midnight.
void WriteTimeValue(const TVariant& value, TStream& dest, const TquvSymbolDef&, bool) {
  WriteInt32(dest, 0);
  WriteInt32(dest, TimeStampOf(value).Time);
}

// Date-time: day number × 86 400 000 + milliseconds, as a double.
void WriteDateTimeValue(const TVariant& value, TStream& dest, const TquvSymbolDef&, bool) {
  const TTimeStamp stamp = TimeStampOf(value);
  WriteDouble(dest, double(int64_t(stamp.Date) * kMSecsPerDay + stamp.Time));
}

bool BooleanOf(const TVariant& value) {
  switch (value.Kind()) {
    case TVarKind::Text:
      return value.Text() == "T";
    case TVarKind::Integer:
      return (value.ToInteger() & 0xFF) != 0;
    case TVarKind::Interface: {
      char byte = 'F';
      StreamOf(value)->Read(&byte, 1);
      return byte == 'T';
    }
    default:
      return value.ToBoolean();
  }
}

// Boolean: 16 bits, -1 for true.
void WriteBooleanValue(const TVariant& value, TStream& dest, const TquvSymbolDef&, bool) {
  WriteLittleEndian(dest, BooleanOf(value) ? 0xFFFF : 0, 2);
}

void WriteFixedTextValue(const TVariant& value, TStream& dest, const TquvSymbolDef&,
                         bool withLength) {
  WriteTextOrStream(value, dest, withLength);
}

void WriteTextOrObjectValue(const TVariant& value, TStream& dest, const TquvSymbolDef& field,
                            bool withLength) {
  switch (value.Kind()) {
    case TVarKind::Interface:
      // A dataset goes in recordset form; other interfaces must be streams.
      if (TRef<IDataset> dataset = Supports<IDataset>(value.Interface())) {
        WriteDatasetValue(*dataset, dest, field, withLength);
        return;
      }
      [[fallthrough]];
    case TVarKind::Text:
      WriteTextOrStream(value, dest, withLength);
      return;
    case TVarKind::Object:
      if (auto* object = dynamic_cast<TquvValueObject*>(value.Object())) {
        object->WriteValue(dest, field, withLength);
        return;
      }
      [[fallthrough]];
    default:
      Fail(kNotTextOrInterface);
  }
}

// Fixed-width text ends at its first NUL; unbounded text is all the bytes.
TVariant TextValueOf(std::span<const uint8_t> bytes, const TquvSymbolDef& field) {
  if (field.Size() == 0 && bytes.empty()) return {};
  std::size_t length = bytes.size();
  if (field.Size() > 0) {
    if (const void* nul = std::memchr(bytes.data(), 0, length))
      length = std::size_t(static_cast<const uint8_t*>(nul) - bytes.data());
  }
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), length);
}

// The bytes of a fixed-size value, which must hold at least `width`.
std::span<const uint8_t> Needed(std::span<const uint8_t> bytes, std::size_t width) {
  if (bytes.size() < width) throw EReadError();
  return bytes;
}

}  // namespace

TquvValueWriter ValueWriterFor(const TquvSymbolDef& field) {
  switch (field.TypeCode()) {
    case 'N':
    case '+':
      return field.Decimals() != 0 ? WriteFloatValue : WriteIntegerValue;
    case 'A':
      return field.Size() > 0 ? WriteFixedTextValue : WriteTextOrObjectValue;
    case 'I':
    case 'R':
      return WriteTextOrObjectValue;
    case 'B':
      return WriteBooleanValue;
    case 'D':
      return WriteDateValue;
    case 'T':
      return WriteTimeValue;
    case 'H':
      return WriteDateTimeValue;
    case 'M':
      return WriteFloatValue;
    default:
      return nullptr;
  }
}

void VarToData(const TVariant& value, TStream& dest, const TquvSymbolDef& field, bool withLength) {
  if (const TquvValueWriter writer = ValueWriterFor(field)) writer(value, dest, field, withLength);
}

TVariant DataToVar(std::span<const uint8_t> bytes, const TquvSymbolDef& field) {
  switch (field.TypeCode()) {
    case 'A':
    case 'I':
    case 'R':
      return TextValueOf(bytes, field);
    case 'N':
    case '+':
      if (field.Decimals() != 0) return ReadDouble(Needed(bytes, 8));
      return ReadInt32(Needed(bytes, 4));
    case 'B':
      return GetLittleEndian(Needed(bytes, 2).data(), 2) != 0;
    case 'D':
      return TVariant::FromDateTime(TimeStampToDateTime({0, ReadInt32(Needed(bytes, 8))}));
    case 'T':
      return TVariant::FromDateTime(
          TimeStampToDateTime({ReadInt32(Needed(bytes, 8).subspan(4)), kDateDelta}));
    case 'H':
      return TVariant::FromDateTime(MSecsToDateTime(ReadDouble(Needed(bytes, 8))));
    case 'M':
      return TVariant::FromCurrency(TVariant(ReadDouble(Needed(bytes, 8))).ToCurrency());
    default:
      return {};
  }
}

int32_t CopyStreams(IStream& source, TStream& dest, int64_t size, bool withLength) {
  if (size == 0) {
    size = source.Seek(0, TSeekOrigin::End);
    source.Seek(0, TSeekOrigin::Beginning);
  }
  if (size < 0 || size > std::numeric_limits<int32_t>::max()) Fail(kCopyReadError);
  const auto total = static_cast<int32_t>(size);
  TCopyBuffer copyBuffer(UseBufferManager(), std::min(kCopyChunk, total));
  const std::span<uint8_t> buffer = copyBuffer.Bytes();
  const auto chunk = static_cast<int32_t>(buffer.size());
  if (withLength) WriteInt32(dest, total);
  for (int32_t remaining = total; remaining > 0;) {
    const int32_t want = std::min(remaining, chunk);
    const int32_t got = source.Read(buffer.data(), want);
    if (got < 1 || got > want) Fail(kCopyReadError);
    dest.WriteBuffer(buffer.data(), got);
    remaining -= got;
  }
  return total;
}

}  // namespace quv
