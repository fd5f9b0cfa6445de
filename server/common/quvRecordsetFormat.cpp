#include "server/common/quvRecordsetFormat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/LittleEndian.h"
#include "platform/TempFile.h"
#include "server/common/quvBufferedStreams.h"

namespace quv {

namespace {

constexpr int32_t kShiftChunk = 65536;

// Whether a block length can be compared with what the stream still holds:
// remote streams do not know their size.
bool KnowsSize(TStream& stream) { return dynamic_cast<TquvRemoteStream*>(&stream) == nullptr; }

// Rows in files are only taken from this program's own temporary files.
void CheckRowsFileName(const std::string& name) {
  const std::string folder = TempDirectory() + "quvSTR";
  if (name.compare(0, folder.size(), folder) != 0 ||
      name.find('/', folder.size()) != std::string::npos) {
    throw EquvRecordsetError("Rows file outside the temporary folder: " + name);
  }
}

std::unique_ptr<TquvStream> OpenRowsFile(TquvStream& in) {
  uint8_t bytes[2];
  in.ReadBuffer(bytes, 2);
  // A 16-bit length: always within the 102400 bytes a name may have.
  const auto length = static_cast<int32_t>(GetLittleEndian(bytes, 2));
  std::string name(std::size_t(length), '\0');
  in.ReadBuffer(name.data(), length);
  CheckRowsFileName(name);
  auto* file = new TTempStream(name, true, kTempOpenRead | kTempShareDenyWrite);
  return std::make_unique<TquvStream>(new TquvBufferedStream(file, 0, true), true);
}

// Calls `change` with the number and the bytes of every entry of `index`,
// read and written back in bounded chunks.
template <typename TChange>
void ChangeEntries(TStream& index, const TChange& change) {
  const int64_t entries = index.Size() / kIndexEntrySize;
  std::vector<uint8_t> chunk;
  for (int64_t first = 0; first < entries;) {
    const int64_t n = std::min<int64_t>(entries - first, kShiftChunk / kIndexEntrySize);
    chunk.resize(std::size_t(n * kIndexEntrySize));
    index.SetPosition(first * kIndexEntrySize);
    index.ReadBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    for (int64_t i = 0; i < n; ++i) change(first + i, &chunk[std::size_t(i * kIndexEntrySize)]);
    index.SetPosition(first * kIndexEntrySize);
    index.WriteBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    first += n;
  }
}

}  // namespace

// ---- Index entries ----

TquvIndexEntry ReadIndexEntry(TStream& index, int32_t row) {
  uint8_t bytes[kIndexEntrySize];
  index.SetPosition(int64_t(row) * kIndexEntrySize);
  index.ReadBuffer(bytes, kIndexEntrySize);
  return {GetInt32LE(bytes), GetInt32LE(bytes + 4)};
}

void WriteIndexEntry(TStream& index, int32_t row, TquvIndexEntry entry) {
  uint8_t bytes[kIndexEntrySize];
  PutInt32LE(bytes, static_cast<int32_t>(entry.Offset));
  PutInt32LE(bytes + 4, static_cast<int32_t>(entry.Length));
  index.SetPosition(int64_t(row) * kIndexEntrySize);
  index.WriteBuffer(bytes, kIndexEntrySize);
}

void ShiftRowOffsets(TStream& index, int64_t offset, int64_t delta, int32_t except) {
  ChangeEntries(index, [&](int64_t row, uint8_t* entry) {
    const int32_t rowOffset = GetInt32LE(entry);
    if (row != except && rowOffset >= offset)
      PutInt32LE(entry, static_cast<int32_t>(rowOffset + delta));
  });
}

void FollowRewrittenRow(TStream& index, TquvIndexEntry old, TquvIndexEntry now,
                        bool shiftRowsBehind) {
  const int64_t oldEnd = old.Offset + old.Length;
  const int64_t delta = now.Length - old.Length;
  ChangeEntries(index, [&](int64_t, uint8_t* entry) {
    const int32_t rowOffset = GetInt32LE(entry);
    if (rowOffset == old.Offset && GetInt32LE(entry + 4) == old.Length) {
      PutInt32LE(entry, static_cast<int32_t>(now.Offset));
      PutInt32LE(entry + 4, static_cast<int32_t>(now.Length));
    } else if (shiftRowsBehind && rowOffset >= oldEnd) {
      PutInt32LE(entry, static_cast<int32_t>(rowOffset + delta));
    }
  });
}

// ---- Encoded rows ----

void TquvRowDecoder::Load(int64_t count) {
  const int64_t n = std::min(FLength - FUsed, std::max(count, kRowChunk));
  if (FBuffer.size() < std::size_t(n)) FBuffer.resize(std::size_t(n));
  FStream.SetPosition(FStart + FUsed);
  FStream.ReadBuffer(FBuffer.data(), static_cast<int32_t>(n));
  FLoadedStart = FUsed;
  FLoadedEnd = FUsed + n;
}

// ---- Serialised form ----

void WriteRecordsetForm(TStream& stream, uint8_t flags, const TquvRecordsetContent& content) {
  if ((flags & kRsTotalLength) && (flags & (kRsRowsInFiles | kRsNoRows))) {
    throw EquvRecordsetError("A recordset with rows in files or without rows has no total length");
  }
  TMemoryStream tags;
  content.Tags.SaveToStream(tags);
  TMemoryStream defs;
  if (flags & kRsWithDefinitions) {
    content.Defs.WriteToStream(defs, (flags & kRsFullDefinitions) ? 0 : 1, content.DefsVersion,
                               (flags & kRsWithGroups) != 0);
  }
  TquvStream out(&stream);
  const bool inlineRows = !(flags & (kRsRowsInFiles | kRsNoRows));
  const int64_t dataSize = inlineRows ? content.Data.Size() : 0;
  const int64_t indexSize = inlineRows ? content.Index.Size() : 0;
  if (flags & kRsTotalLength) {
    int64_t total = tags.Size() + dataSize + indexSize + 14;
    if (flags & kRsWithDefinitions) total += defs.Size() + 4;
    if (total > std::numeric_limits<int32_t>::max()) {
      throw EquvRecordsetError("The recordset " + content.Name + " exceeds 2 GB");
    }
    out.WriteInteger(static_cast<int32_t>(total));
  }
  const uint8_t header[2] = {kRsVersion, flags};
  out.WriteBuffer(header, 2);
  out.WriteInteger(static_cast<int32_t>(tags.Size()));
  out.WriteBuffer(tags.Memory(), static_cast<int32_t>(tags.Size()));
  if (flags & kRsWithDefinitions) {
    out.WriteInteger(static_cast<int32_t>(defs.Size()));
    out.WriteBuffer(defs.Memory(), static_cast<int32_t>(defs.Size()));
  }
  if (flags & kRsRowsInFiles) {
    for (TStream* rows :
         {static_cast<TStream*>(&content.Data), static_cast<TStream*>(&content.Index)}) {
      const std::string name = StreamFileName(*rows);
      uint8_t length[2];
      PutLittleEndian(length, name.size(), 2);
      out.WriteBuffer(length, 2);
      out.WriteRawString(name);
    }
  } else if (flags & kRsNoRows) {
    out.WriteInteger(0);
    out.WriteInteger(0);
  } else {
    out.WriteInteger(static_cast<int32_t>(dataSize));
    CopyStreams(content.Data, stream, 0);
    out.WriteInteger(static_cast<int32_t>(indexSize));
    CopyStreams(content.Index, stream, 0);
  }
}

TquvRecordsetFormReader::TquvRecordsetFormReader(TStream& stream, std::function<void()> fail)
    : FStream(stream), FIn(&stream), FFail(std::move(fail)) {}

uint8_t TquvRecordsetFormReader::ReadByte() {
  uint8_t value = 0;
  FStream.ReadBuffer(&value, 1);
  return value;
}

int32_t TquvRecordsetFormReader::ReadBlockLength() {
  const int32_t length = FIn.ReadInteger();
  if (length < 0 || (KnowsSize(FStream) && length > FStream.Remaining())) FFail();
  return length;
}

void TquvRecordsetFormReader::ReadBlock(TMemoryStream& block) {
  // Grown only as bytes arrive.
  const int32_t length = ReadBlockLength();
  if (length > 0) CopyStreams(FStream, block, length);
  block.SetPosition(0);
}

void TquvRecordsetFormReader::ReadRows(uint8_t flags, bool copy, std::unique_ptr<TquvStream>& data,
                                       std::unique_ptr<TquvStream>& index,
                                       const TProgress& progress) {
  if (flags & kRsRowsInFiles) {
    data = OpenRowsFile(FIn);
    index = OpenRowsFile(FIn);
    return;
  }
  const std::array<std::pair<int32_t, int32_t>, 2> phases = {{{30, 60}, {90, 10}}};
  for (int block = 0; block < 2; ++block) {
    const int32_t length = ReadBlockLength();
    std::unique_ptr<TquvStream>& target = block == 0 ? data : index;
    if (copy) {
      const int32_t base = phases[std::size_t(block)].first;
      const int32_t span = phases[std::size_t(block)].second;
      if (length > 0) {
        CopyStreams(FStream, *target, length,
                    [&progress, base, span](TStream*, int32_t percent, bool&) {
                      progress(base, span, percent);
                    });
      }
    } else {
      const int64_t start = FStream.Position();
      TStream* window = length > 0
                            ? static_cast<TStream*>(new TSubStream(&FStream, false, length, start))
                            : new TMemoryStream();
      target = std::make_unique<TquvStream>(window, true);
      FStream.SetPosition(start + length);
    }
  }
}

}  // namespace quv
