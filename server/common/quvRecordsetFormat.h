#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"
#include "platform/LittleEndian.h"
#include "platform/Streams.h"
#include "server/common/quvBitsAndTags.h"
#include "server/common/quvIntf.h"
#include "server/common/quvstream.h"

// The byte layouts of a recordset (doc/recordset-format.md): its index
// entries, its encoded rows as they are read back, and its serialised form.
namespace quv {

// The recordset's own failures: its serialised rows do not hold what their
// index and lengths announce.
class EquvRecordsetError : public Exception {
 public:
  using Exception::Exception;
};

// Serialised-form flag bits.
inline constexpr uint8_t kRsWithDefinitions = 0x01;
inline constexpr uint8_t kRsTotalLength = 0x02;
inline constexpr uint8_t kRsDefinitionOption = 0x04;  // kept; the definition writer has no use
inline constexpr uint8_t kRsRowsInFiles = 0x08;
inline constexpr uint8_t kRsFullDefinitions = 0x10;
inline constexpr uint8_t kRsNoRows = 0x20;
inline constexpr uint8_t kRsWithGroups = 0x40;
// Rows in files name files of this process; from anywhere else they are refused.
inline constexpr std::string_view kRowFilesRefused = "Recordset rows in files are not accepted";
// The stored flags that a save with flags 0 reuses.
inline constexpr uint8_t kRsReusedFlags = 0xD1;
// The version byte this code writes and the highest it reads.
inline constexpr uint8_t kRsVersion = 1;

// ---- Index entries ----

// Index entry i, at 8 × i: int32 offset of the row in the data stream, then
// int32 length.
inline constexpr int32_t kIndexEntrySize = 8;
struct TquvIndexEntry {
  int64_t Offset;
  int64_t Length;
};
TquvIndexEntry ReadIndexEntry(TStream& index, int32_t row);
// The caller keeps offset and length within int32.
void WriteIndexEntry(TStream& index, int32_t row, TquvIndexEntry entry);
// Adds `delta` to every row offset at or beyond `offset` but that of row `except`.
void ShiftRowOffsets(TStream& index, int64_t offset, int64_t delta, int32_t except);
// Follows a row rewritten from `old` to `now` in an index that does not know
// where the row is: its entry (the one equal to `old`) becomes `now`, and
// with `shiftRowsBehind` the rows from the end of `old` on move by the change
// of length.
void FollowRewrittenRow(TStream& index, TquvIndexEntry old, TquvIndexEntry now,
                        bool shiftRowsBehind);

// ---- Encoded rows ----

// Reads one encoded row without going past its announced length (EReadError).
// The row's bytes come from the stream in few large reads into a reusable
// buffer and are decoded from memory; skipped values are never read. Borrows
// the stream and the buffer.
class TquvRowDecoder final {
 public:
  TquvRowDecoder(TStream& stream, int64_t start, int64_t length, std::vector<uint8_t>& buffer)
      : FStream(stream), FStart(start), FLength(length), FBuffer(buffer) {}

  // The next `count` bytes, valid until the next call.
  const uint8_t* Take(int64_t count) {
    Require(count);
    if (FUsed + count > FLoadedEnd) Load(count);
    const uint8_t* bytes = FBuffer.data() + (FUsed - FLoadedStart);
    FUsed += count;
    return bytes;
  }
  // Copies the next `count` bytes to `dest`, straight from the stream when
  // they are not loaded yet.
  void ReadInto(void* dest, int64_t count) {
    Require(count);
    if (FUsed + count > FLoadedEnd && count > kRowChunk) {
      FStream.SetPosition(FStart + FUsed);
      FStream.ReadBuffer(dest, static_cast<int32_t>(count));
      FUsed += count;
      return;
    }
    if (count > 0) std::memcpy(dest, Take(count), std::size_t(count));
  }
  // A length that the row still holds.
  int32_t ReadLength() {
    const int32_t length = GetInt32LE(Take(4));
    Require(length);
    return length;
  }
  void Skip(int64_t count) {
    Require(count);
    FUsed += count;
  }
  int64_t Consumed() const { return FUsed; }
  // Where a pointer from Take lies in the buffer.
  int64_t BufferOffset(const uint8_t* bytes) const { return bytes - FBuffer.data(); }

  // Rows up to this size are loaded whole by their first Take.
  static constexpr int64_t kRowChunk = 8192;

 private:
  void Require(int64_t count) const {
    if (count < 0 || count > FLength - FUsed) throw EReadError();
  }
  // Loads at least `count` bytes from the current one, a chunk when the row
  // holds that much.
  void Load(int64_t count);

  TStream& FStream;
  int64_t FStart;
  int64_t FLength;
  std::vector<uint8_t>& FBuffer;
  int64_t FUsed = 0;
  int64_t FLoadedStart = 0;
  int64_t FLoadedEnd = 0;
};

// ---- Serialised form ----

// What the serialised form of a recordset carries, borrowed for one save.
// `Name` names the recordset in error messages.
struct TquvRecordsetContent {
  const TquvTagBag& Tags;
  const TquvSymbolDefs& Defs;
  int32_t DefsVersion;
  TquvStream& Data;
  TquvStream& Index;
  const std::string& Name;
};

// Writes the serialised form with `flags` (not 0). A total length together
// with rows in files or without rows, or a form over 2 GB, raises
// EquvRecordsetError.
void WriteRecordsetForm(TStream& stream, uint8_t flags, const TquvRecordsetContent& content);

// Reads the serialised form block by block, in its order. A block length
// that the stream does not hold calls `fail`, which must raise. Borrows the
// stream.
class TquvRecordsetFormReader final {
 public:
  // Progress of reading the rows: the overall percentage is base + percent of span.
  using TProgress = std::function<void(int32_t base, int32_t span, int32_t percent)>;

  TquvRecordsetFormReader(TStream& stream, std::function<void()> fail);

  uint8_t ReadByte();
  // An int32 length and that many bytes, into `block` at position 0.
  void ReadBlock(TMemoryStream& block);
  // The rows of a form read with `flags`: the two row files it names (flag
  // bit 3), opened for reading; else the data and index blocks, copied into
  // `data` and `index` when `copy`, otherwise windows on the stream, which
  // is left after them.
  void ReadRows(uint8_t flags, bool copy, std::unique_ptr<TquvStream>& data,
                std::unique_ptr<TquvStream>& index, const TProgress& progress);

 private:
  int32_t ReadBlockLength();

  TStream& FStream;
  TquvStream FIn;
  std::function<void()> FFail;
};

}  // namespace quv
