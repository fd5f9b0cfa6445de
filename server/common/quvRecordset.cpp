#include "server/common/quvRecordset.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "platform/TempFile.h"
#include "server/common/quvBufferedStreams.h"
#include "server/common/quvIntfRegistry.h"
#include "server/common/quvSharedDefs.h"

namespace quv {

namespace {

constexpr int32_t kRowStreamBuffer = 8192;
constexpr int32_t kIndexEntrySize = 8;
constexpr int32_t kMaxFields = 2016;  // 63 bitmap words: the byte size travels in one byte
constexpr int32_t kMoveChunk = 65536;
constexpr uint8_t kVersion = 1;
constexpr std::string_view kReadOnlyError = "Can not write to a ReadOnly recordset";

bool IsTextOrObjectCode(char code) { return code == 'A' || code == 'I' || code == 'R'; }

void PutInt32(uint8_t* bytes, int64_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t GetInt32(const uint8_t* bytes) {
  return static_cast<int32_t>(uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 |
                              uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24);
}

uint8_t ReadByte(TStream& stream) {
  uint8_t value = 0;
  stream.ReadBuffer(&value, 1);
  return value;
}

std::unique_ptr<TquvStream> NewTempStream(const std::string& fileName) {
  TStream* inner =
      fileName.empty()
          ? static_cast<TStream*>(new TquvBufferedTempStream(kRowStreamBuffer))
          : new TquvBufferedStream(
                new TTempStream(fileName, true, kTempOpenReadWrite | kTempShareDenyNone),
                kRowStreamBuffer, true);
  return std::make_unique<TquvStream>(inner, true);
}

std::string ChangeFileExt(const std::string& fileName, std::string_view extension) {
  const std::size_t slash = fileName.find_last_of('/');
  const std::size_t dot = fileName.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? fileName.substr(0, dot) : fileName) + std::string(extension);
}

std::string DefinitionsName(const TquvCustomSymbolDefs& defs) {
  const std::string qualified = defs.QualifiedName();
  return qualified.empty() ? defs.Name() : qualified;
}

// Whether a block length can be compared with what the stream still holds:
// remote streams do not know their size.
bool KnowsSize(TStream& stream) { return dynamic_cast<TquvRemoteStream*>(&stream) == nullptr; }

// Moves `count` bytes of `stream` from `from` to `to` in bounded chunks, in
// the direction that never overwrites bytes still to be moved.
void MoveBytes(TStream& stream, int64_t from, int64_t to, int64_t count) {
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

// Reads one encoded row without going past its announced length. The row's
// bytes come from the stream in few large reads into a reusable buffer and
// are decoded from memory; skipped values are never read.
class TRowDecoder {
 public:
  TRowDecoder(TStream& stream, int64_t start, int64_t length, std::vector<uint8_t>& buffer)
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
  int32_t ReadInt32() { return GetInt32(Take(4)); }
  // A length that the row still holds.
  int32_t ReadLength() {
    const int32_t length = ReadInt32();
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
  void Load(int64_t count) {
    const int64_t n = std::min(FLength - FUsed, std::max(count, kRowChunk));
    if (FBuffer.size() < std::size_t(n)) FBuffer.resize(std::size_t(n));
    FStream.SetPosition(FStart + FUsed);
    FStream.ReadBuffer(FBuffer.data(), static_cast<int32_t>(n));
    FLoadedStart = FUsed;
    FLoadedEnd = FUsed + n;
  }

  TStream& FStream;
  int64_t FStart;
  int64_t FLength;
  std::vector<uint8_t>& FBuffer;
  int64_t FUsed = 0;
  int64_t FLoadedStart = 0;
  int64_t FLoadedEnd = 0;
};

}  // namespace

// ---- TBits ----

void TBits::SetSize(int32_t size) {
  if (size < 0) FailIndex();
  FWords.resize(static_cast<std::size_t>((size + 31) / 32), 0xFFFFFFFFu);
  FSize = size;
}

void TBits::FailIndex() { throw Exception("Bit index out of bounds"); }

void TBits::SetBit(int32_t index, bool value) {
  if (index < 0) FailIndex();
  if (index >= FSize) SetSize(index + 1);
  uint32_t& word = FWords[static_cast<std::size_t>(index / 32)];
  const uint32_t mask = 1u << (index % 32);
  word = value ? word | mask : word & ~mask;
}

void TBits::SetAll(bool value) { std::fill(FWords.begin(), FWords.end(), value ? ~0u : 0u); }

void TBits::SaveToStream(TStream& stream) const {
  std::array<uint8_t, 1 + 4 * 64> bytes{};
  const int32_t byteSize = ByteSize();
  if (byteSize > 255) throw Exception("Bit index out of bounds");
  bytes[0] = static_cast<uint8_t>(byteSize);
  for (std::size_t i = 0; i < FWords.size(); ++i) PutInt32(&bytes[1 + 4 * i], FWords[i]);
  stream.WriteBuffer(bytes.data(), 1 + byteSize);
}

void TBits::LoadFromStream(TStream& stream) {
  std::array<uint8_t, 256> form;
  form[0] = ReadByte(stream);
  stream.ReadBuffer(form.data() + 1, form[0]);
  LoadFromBytes(form.data());
}

void TBits::LoadFromBytes(const uint8_t* form) {
  const uint8_t byteSize = form[0];
  FWords.resize((byteSize + 3u) / 4u);
  for (std::size_t i = 0; i < FWords.size(); ++i) {
    // A last partial word keeps 1 bits (null) where the form ends.
    std::array<uint8_t, 4> word = {0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(word.data(), form + 1 + 4 * i, std::min<std::size_t>(4, byteSize - 4 * i));
    FWords[i] = static_cast<uint32_t>(GetInt32(word.data()));
  }
  FSize = byteSize / 4 * 32;
}

// ---- TquvTagBag ----

namespace {

bool NameBefore(const std::pair<std::string, std::string>& tag, std::string_view name) {
  return AnsiCompareText(tag.first, name) < 0;
}

}  // namespace

void TquvTagBag::SetTag(std::string_view name, std::string value) {
  auto it = std::lower_bound(FTags.begin(), FTags.end(), name, NameBefore);
  if (it != FTags.end() && AnsiCompareText(it->first, name) == 0) {
    it->second = std::move(value);
  } else {
    FTags.insert(it, {std::string(name), std::move(value)});
  }
}

std::string TquvTagBag::Tag(std::string_view name) const {
  auto it = std::lower_bound(FTags.begin(), FTags.end(), name, NameBefore);
  if (it != FTags.end() && AnsiCompareText(it->first, name) == 0) return it->second;
  return {};
}

void TquvTagBag::SaveToStream(TStream& stream) const {
  TquvStream writer(&stream);
  writer.WriteInteger(Count());
  for (const auto& [name, value] : FTags) {
    writer.WriteString(name);
    writer.WriteString(value);
  }
}

void TquvTagBag::LoadFromStream(TStream& stream) {
  Clear();
  TquvStream reader(&stream);
  const int32_t count = reader.ReadInteger();
  for (int32_t i = 0; i < count; ++i) {
    std::string name = reader.ReadString();
    SetTag(name, reader.ReadDataString());
  }
}

// ---- TquvBlobStream ----

TquvBlobStream::TquvBlobStream(TquvRecordset& recordset, bool inMemory, uint8_t mode,
                               int32_t location)
    : FRecordset(&recordset), FMode(mode), FInMemory(inMemory), FLocation(location) {
  if (mode == 2) throw EquvBlobStreamError("Can not create a read/write stream!");
  if (mode == kWrite) {
    FFieldName = recordset.Field(location).Name();
  } else if (inMemory) {
    recordset.Field(location);
    recordset.KeepRowValuesInMemory();
    FSize = recordset.FNullBits.Bit(location)
                ? 0
                : static_cast<int64_t>(recordset.FRowValues[std::size_t(location)].size());
  } else {
    TStream& data = recordset.DataStream();
    const int64_t saved = data.Position();
    data.SetPosition(location);
    uint8_t bytes[4];
    const bool complete = data.Read(bytes, 4) == 4;
    const int64_t dataSize = data.Size();
    data.SetPosition(saved);
    FSize = complete ? GetInt32(bytes) : -1;
    FLocation += 4;
    if (FSize < 0 || FLocation + FSize > dataSize) recordset.FailEof();
  }
  recordset.FBlobStreams.push_back(this);
}

TquvBlobStream::~TquvBlobStream() {
  try {
    Close();
  } catch (const std::exception& e) {
    OutputDebugString(std::string("quvrecordset: blob stream not stored: ") + e.what());
  }
  if (FRecordset) FRecordset->Unregister(*this);
}

void TquvBlobStream::Close() {
  if (FMode != kWrite) return;
  if (!FModified && FBuffer.Size() != 0) return;
  if (CommitOnClose && FRecordset) {
    const TByteView bytes = FBuffer.Bytes();
    FRecordset->StoreValue(static_cast<int32_t>(FLocation),
                           std::string(bytes.begin(), bytes.end()));
    FRecordset->FRowModified = true;
  }
  if (OnWrite) OnWrite(*this);
}

void TquvBlobStream::Detach() {
  if (!FRecordset) return;
  if (FMode == kRead && !FDetached) {
    std::vector<uint8_t> value(static_cast<std::size_t>(FSize));
    const int64_t position = FPosition;
    FPosition = 0;
    const int32_t got = ReadAttached(value.data(), static_cast<int32_t>(FSize));
    FBuffer.SetSize(0);
    FBuffer.WriteBuffer(value.data(), std::max(0, got));
    FPosition = position;
    FDetached = true;
  }
  CommitOnClose = false;
  FRecordset->Unregister(*this);
  FRecordset = nullptr;
}

int32_t TquvBlobStream::ReadAttached(void* buffer, int32_t count) {
  if (FInMemory) {
    const std::string& value = FRecordset->FRowValues[std::size_t(FLocation)];
    const auto n = static_cast<int32_t>(
        std::clamp<int64_t>(static_cast<int64_t>(value.size()) - FPosition, 0, count));
    std::memcpy(buffer, value.data() + FPosition, std::size_t(n));
    return n;
  }
  TStream& data = FRecordset->DataStream();
  const int64_t saved = data.Position();
  data.SetPosition(FLocation + FPosition);
  data.ReadBuffer(buffer, count);
  data.SetPosition(saved);
  return count;
}

int32_t TquvBlobStream::Read(void* buffer, int32_t count) {
  const int64_t size = FMode == kWrite ? FBuffer.Size() : FSize;
  const auto n = static_cast<int32_t>(std::clamp<int64_t>(size - FPosition, 0, count));
  if (n == 0) return 0;
  int32_t got = 0;
  if (FMode == kWrite || FDetached) {
    FBuffer.SetPosition(FPosition);
    got = FBuffer.Read(buffer, n);
  } else if (FRecordset) {
    got = ReadAttached(buffer, n);
  }
  FPosition += got;
  return got;
}

int32_t TquvBlobStream::Write(const void* buffer, int32_t count) {
  if (FMode != kWrite || !FRecordset) throw EquvBlobStreamError("Can not write to stream!");
  FBuffer.SetPosition(FPosition);
  const int32_t written = FBuffer.Write(buffer, count);
  FPosition += written;
  FModified = true;
  return written;
}

void TquvBlobStream::SetSize(int64_t newSize) {
  if (FMode != kWrite) throw EquvBlobStreamError("Can not set size of a read only stream!");
  FBuffer.SetSize(newSize);
  FPosition = std::min(FPosition, newSize);
}

int64_t TquvBlobStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::Current) base = FPosition;
  if (origin == TSeekOrigin::End) base = FMode == kWrite ? FBuffer.Size() : FSize;
  if (base + offset < 0) return -1;
  FPosition = base + offset;
  return FPosition;
}

// ---- Sort keys ----

std::vector<TquvSortKey>& ThreadSortKeys() {
  thread_local std::vector<TquvSortKey> keys;
  return keys;
}

// ---- TquvRecordset: creation ----

TquvRecordset::TquvRecordset(const std::string& fileName, const std::string& definitionName,
                             int32_t mode, uint8_t flag)
    : FDefinitionFlag(flag),
      FDefs(SharedEmptyDefinitions()),
      FTags(std::make_unique<TquvTagBag>()) {
  UseTemporaryStreams(mode == 1 ? std::string() : fileName);
  if (!definitionName.empty()) SetDefinition(definitionName);
  if (mode == 1) {
    FSource = std::make_unique<TFileStream>(fileName, TFileMode::OpenRead);
    Open(*FSource);
  }
}

std::unique_ptr<TquvRecordset> TquvRecordset::CreateFromStream(TStream* stream, bool ownsStream,
                                                               const std::string& definitionName,
                                                               uint8_t flag, bool openStream) {
  std::unique_ptr<TStream> owned(ownsStream ? stream : nullptr);
  auto recordset = std::make_unique<TquvRecordset>("", definitionName, 0, flag);
  if (openStream) {
    recordset->FSource = std::move(owned);
    recordset->Open(*stream);
  } else {
    recordset->FDefinitionFlag = 0;
    recordset->FData = std::make_unique<TquvStream>(owned ? owned.release() : stream, ownsStream);
    recordset->FIndex = std::make_unique<TquvStream>(nullptr, true);
    recordset->UpdateRowCount();
  }
  return recordset;
}

TquvRecordset::~TquvRecordset() {
  for (auto& [owner, listener] : FDestroyListeners) {
    try {
      listener(*this);
    } catch (const std::exception& e) {
      OutputDebugString(std::string("quvrecordset: destroy listener failed: ") + e.what());
    }
  }
  try {
    DetachDependents();
  } catch (const std::exception& e) {
    OutputDebugString(std::string("quvrecordset: sharers not detached: ") + e.what());
  }
  if (FSharedWith) std::erase(FSharedWith->FSharers, this);
}

void TquvRecordset::UseTemporaryStreams(const std::string& fileName) {
  FData = NewTempStream(fileName);
  FIndex = NewTempStream(fileName.empty() ? fileName : ChangeFileExt(fileName, ".fdx"));
}

void TquvRecordset::AddDestroyListener(const void* owner, TNotifyEvent listener) {
  FDestroyListeners.emplace_back(owner, std::move(listener));
}

void TquvRecordset::RemoveDestroyListener(const void* owner) {
  std::erase_if(FDestroyListeners, [owner](const auto& item) { return item.first == owner; });
}

// ---- Definitions ----

void TquvRecordset::SetDefinition(const std::string& spec) {
  const std::size_t colon = spec.find(':');
  std::string name = spec;
  if (colon != std::string::npos) {
    FPrefix = spec.substr(0, colon);
    name = spec.substr(colon + 1);
  }
  if (AnsiCompareText(name, FName) == 0) return;
  FName = name;
  Clear();
  FDefs = name.empty() ? SharedEmptyDefinitions()
                       : SharedInterfaceDefinitions(name, false, FDefinitionFlag);
  FOwnDefs.reset();
  PrepareFieldLists();
  if (!name.empty()) Changed();
}

void TquvRecordset::SetFieldDefs(std::unique_ptr<TquvSymbolDefs> definitions) {
  Clear();
  FOwnDefs = definitions ? std::move(definitions) : std::make_unique<TquvSymbolDefs>();
  FDefs = FOwnDefs;
  FName = DefinitionsName(*FDefs);
  PrepareFieldLists();
  Changed();
}

// Calculated and aggregate fields join here once expressions are available;
// until then every field is a stored field.
void TquvRecordset::PrepareFieldLists() {
  const int32_t count = FieldCount();
  if (count > kMaxFields) {
    throw EquvRecordsetError("A recordset holds at most 2016 fields, " + FName + " has " +
                             std::to_string(count));
  }
  if (FOwnDefs) FOwnDefs->RecomputeOffsets();  // shared sets have theirs already
  FLayouts.clear();
  for (int32_t i = 0; i < count; ++i) FLayouts.push_back(LayoutOf(FDefs->Item(i)));
  FRowValues.assign(static_cast<std::size_t>(count), std::string());
  FValueRefs.assign(static_cast<std::size_t>(count), TValueRef{});
  FWriters.clear();
  FNullBits.SetSize(count);
  FNullBits.SetAll(true);
  FBlobPositions.assign(static_cast<std::size_t>(count), -1);
  FBlobCached.assign(static_cast<std::size_t>(count), true);
}

TquvSymbolDefs& TquvRecordset::MutableFieldDefs() {
  if (!FOwnDefs) {
    auto copy = std::make_shared<TquvSymbolDefs>();
    copy->Assign(*FDefs);
    copy->SetFormatVersion(FDefs->FormatVersion());
    copy->SetModified(FDefs->Modified());
    FOwnDefs = std::move(copy);
    FDefs = FOwnDefs;
  }
  return *FOwnDefs;
}

TquvRecordset::TFieldLayout TquvRecordset::LayoutOf(const TquvSymbolDef& field) {
  if (!IsTextOrObjectCode(field.TypeCode())) return {TFieldKind::Fixed, field.DataSize()};
  return {field.Size() > 0 ? TFieldKind::BoundedText : TFieldKind::Unbounded, 0};
}

void TquvRecordset::FailFieldIndex(int32_t index) const {
  throw EquvRecordsetError("Invalid field index " + std::to_string(index) + " in " + FName);
}

const TquvSymbolDef& TquvRecordset::Field(int32_t index) const {
  if (index < 0 || index >= FieldCount()) FailFieldIndex(index);
  return FDefs->Item(index);
}

int32_t TquvRecordset::FieldIndex(std::string_view name) const { return FDefs->IndexOf(name); }

void TquvRecordset::Changed() {
  if (OnChange) OnChange(*this);
}

// ---- Reading rows ----

void TquvRecordset::FailEof() const {
  throw EquvRecordsetError("EOF error trying to read a " + FName + " recordset");
}

TquvRecordset::TIndexEntry TquvRecordset::ReadIndexEntry(int32_t row) {
  uint8_t bytes[kIndexEntrySize];
  TStream& index = FIndex->Stream();
  index.SetPosition(int64_t(row) * kIndexEntrySize);
  index.ReadBuffer(bytes, kIndexEntrySize);
  return {GetInt32(bytes), GetInt32(bytes + 4)};
}

void TquvRecordset::WriteIndexEntry(int32_t row, int64_t offset, int64_t length) {
  if (offset + length > std::numeric_limits<int32_t>::max()) {
    throw EquvRecordsetError("The rows of " + FName + " exceed 2 GB");
  }
  uint8_t bytes[kIndexEntrySize];
  PutInt32(bytes, offset);
  PutInt32(bytes + 4, length);
  TStream& index = FIndex->Stream();
  index.SetPosition(int64_t(row) * kIndexEntrySize);
  index.WriteBuffer(bytes, kIndexEntrySize);
}

void TquvRecordset::EnsureRowLoaded() {
  if (!FRowLoaded) LoadRow();
}

void TquvRecordset::ClearRowBuffer() {
  FNullBits.SetAll(true);
  std::fill(FValueRefs.begin(), FValueRefs.end(), TValueRef{});
  std::fill(FBlobPositions.begin(), FBlobPositions.end(), -1);
  std::fill(FBlobCached.begin(), FBlobCached.end(), true);
}

void TquvRecordset::LoadRow() {
  DetachBlobStreams(true);
  if (FRecNo >= 0 && FRecNo < FRecordCount) {
    try {
      DecodeRow(ReadIndexEntry(FRecNo));
    } catch (const Exception&) {
      ClearRowBuffer();
      FailEof();
    }
  } else {
    ClearRowBuffer();
  }
  FRowLoaded = true;
}

void TquvRecordset::DecodeRow(TIndexEntry entry) {
  TStream& data = FData->Stream();
  const int64_t dataSize = data.Seek(0, TSeekOrigin::End);
  if (entry.Offset < 0 || entry.Length < 0 || entry.Offset + entry.Length > dataSize) {
    throw EReadError();
  }
  TRowDecoder row(data, entry.Offset, entry.Length, FRowBytes);
  // A row loaded whole stays in FRowBytes until the next row: its values are
  // used where they lie there.
  const bool inPlace = entry.Length <= TRowDecoder::kRowChunk;
  const uint8_t byteSize = *row.Take(1);
  std::array<uint8_t, 256> bitmap;
  bitmap[0] = byteSize;
  std::memcpy(bitmap.data() + 1, row.Take(byteSize), byteSize);
  FNullBits.LoadFromBytes(bitmap.data());
  const int32_t count = FieldCount();
  if (FNullBits.Size() < count || FLayouts.size() != std::size_t(count)) throw EReadError();
  for (int32_t i = 0; i < count; ++i) {
    const TFieldLayout& layout = FLayouts[std::size_t(i)];
    TValueRef& ref = FValueRefs[std::size_t(i)];
    ref = {};
    const bool null = FNullBits.Bit(i);
    if (layout.Kind == TFieldKind::Unbounded) {
      FBlobPositions[std::size_t(i)] = null ? -1 : entry.Offset + row.Consumed();
      FBlobCached[std::size_t(i)] = null || CacheBlobs;
    }
    if (null) continue;
    std::string& value = FRowValues[std::size_t(i)];
    int32_t length = layout.DataSize;
    if (layout.Kind != TFieldKind::Fixed) length = row.ReadLength();
    if (layout.Kind == TFieldKind::Unbounded && !CacheBlobs) {
      value.clear();
      row.Skip(length);
    } else if (inPlace) {
      ref = {row.BufferOffset(row.Take(length)), length};
    } else {
      // The in-memory form of a fixed-width text loaded from a row ends with a NUL.
      const bool withNul = layout.Kind == TFieldKind::BoundedText;
      value.resize(std::size_t(length) + withNul);
      row.ReadInto(value.data(), length);
      if (withNul) value[std::size_t(length)] = '\0';
    }
  }
}

void TquvRecordset::KeepRowValuesInMemory() {
  for (std::size_t i = 0; i < FValueRefs.size(); ++i) {
    TValueRef& ref = FValueRefs[i];
    if (ref.Offset < 0) continue;
    const auto* bytes = reinterpret_cast<const char*>(FRowBytes.data() + ref.Offset);
    FRowValues[i].assign(bytes, std::size_t(ref.Length));
    if (FLayouts[i].Kind == TFieldKind::BoundedText) FRowValues[i].push_back('\0');
    ref.Offset = -1;
  }
}

bool TquvRecordset::IsNull(int32_t index) {
  Field(index);
  EnsureRowLoaded();
  return FNullBits.Bit(index);
}

inline std::span<const uint8_t> TquvRecordset::RowValueBytes(std::size_t index) const {
  const TValueRef ref = FValueRefs[index];
  if (ref.Offset >= 0) return {FRowBytes.data() + ref.Offset, std::size_t(ref.Length)};
  const std::string& value = FRowValues[index];
  return {reinterpret_cast<const uint8_t*>(value.data()), value.size()};
}

TVariant TquvRecordset::GetFieldValueByIndex(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(FLayouts.size())) FailFieldIndex(index);
  const auto i = std::size_t(index);
  const TFieldLayout& layout = FLayouts[i];
  EnsureRowLoaded();
  if (FNullBits.Bit(index)) return {};
  if (layout.Kind == TFieldKind::Unbounded && !FBlobCached[i]) return {};
  return DataToVar(RowValueBytes(i), FDefs->Item(index));
}

TVariant TquvRecordset::GetFieldValue(std::string_view name) {
  const int32_t index = FieldIndex(name);
  if (index < 0) {
    throw Exception(std::string("Não existe um campo chamado \""_cp) + std::string(name) +
                    "\" em " + FName);
  }
  return GetFieldValueByIndex(index);
}

// ---- Changing the row buffer ----

void TquvRecordset::EnsureWriters() {
  if (!FWriters.empty() || FieldCount() == 0) return;
  FWriters.reserve(std::size_t(FieldCount()));
  for (int32_t i = 0; i < FieldCount(); ++i) FWriters.push_back(ValueWriterFor(FDefs->Item(i)));
}

void TquvRecordset::StoreValue(int32_t index, std::string bytes) {
  DetachBlobStreams(true);
  KeepRowValuesInMemory();
  FNullBits.SetBit(index, bytes.empty());
  FRowValues[std::size_t(index)] = std::move(bytes);
  FBlobPositions[std::size_t(index)] = -1;
  FBlobCached[std::size_t(index)] = true;
}

void TquvRecordset::SetFieldValueByIndex(int32_t index, const TVariant& value) {
  const TquvSymbolDef& field = Field(index);
  if (!FAppending) EnsureRowLoaded();
  if (value.IsEmptyOrNull() || (value.IsText() && value.Text().empty())) {
    FNullBits.SetBit(index, true);
    return;
  }
  EnsureWriters();
  std::string bytes;
  const char code = field.TypeCode();
  if ((code == 'N' || code == '+') && field.Decimals() == 0) {
    bytes.resize(4);
    PutInt32(reinterpret_cast<uint8_t*>(bytes.data()), value.ToInteger());
  } else if (code == 'N' || code == '+') {
    const auto bits = std::bit_cast<uint64_t>(value.ToDouble());
    bytes.resize(8);
    for (int i = 0; i < 8; ++i) bytes[std::size_t(i)] = static_cast<char>(bits >> (8 * i));
  } else if (const TquvValueWriter writer = FWriters[std::size_t(index)]) {
    TMemoryStream scratch;
    writer(value, scratch, field, false);
    bytes.assign(scratch.Bytes().begin(), scratch.Bytes().end());
  }
  StoreValue(index, std::move(bytes));
  FRowModified = true;
  FRowLoaded = true;
}

void TquvRecordset::SetFieldValue(std::string_view name, const TVariant& value) {
  const int32_t index = FieldIndex(name);
  if (index < 0) {
    throw Exception(std::string("Não existe um campo chamado \""_cp) + std::string(name) +
                    "\" em " + FName);
  }
  SetFieldValueByIndex(index, value);
}

// ---- Writing rows ----

void TquvRecordset::CheckWritable() const {
  if (FReadOnly) throw Exception(std::string(kReadOnlyError));
}

void TquvRecordset::CopyStoredBlob(int32_t index, TStream& dest) {
  const int64_t position = FBlobPositions[std::size_t(index)];
  TquvStream data(FData.get());
  data.SetPosition(position);
  const int32_t length = data.ReadInteger();
  if (length < 0 || position + 4 + length > data.Size()) FailEof();
  TquvStream(&dest).WriteInteger(length);
  if (length > 0) CopyStreams(data, dest, length);
}

std::vector<int64_t> TquvRecordset::EncodeRow(TStream& dest) {
  KeepRowValuesInMemory();
  std::vector<int64_t> positions(FBlobPositions.size(), -1);
  FNullBits.SaveToStream(dest);
  TquvStream writer(&dest);
  for (int32_t i = 0; i < FieldCount(); ++i) {
    if (FNullBits.Bit(i)) continue;
    const TquvSymbolDef& field = FDefs->Item(i);
    const std::string& value = FRowValues[std::size_t(i)];
    if (!IsTextOrObjectCode(field.TypeCode())) {
      writer.WriteRawString(value);
    } else if (field.Size() > 0) {
      writer.WriteString(std::string_view(value.data(), std::min(value.size(), value.find('\0'))));
    } else {
      positions[std::size_t(i)] = dest.Position();
      if (FBlobCached[std::size_t(i)]) {
        writer.WriteString(value);
      } else {
        CopyStoredBlob(i, dest);
      }
    }
  }
  return positions;
}

void TquvRecordset::FinishAppend(int64_t start) {
  const int64_t end = FData->Stream().Position();
  WriteIndexEntry(FRecordCount, start, end - start);
  FRecNo = FRecordCount;
  ++FRecordCount;
  FAppendPosition = end;
  FRowLoaded = true;
  FAppending = false;
  FRowModified = false;
}

void TquvRecordset::AppendRow() {
  CheckWritable();
  DetachDependents();
  OwnData();
  FRowScratch.SetSize(0);
  const std::vector<int64_t> positions = EncodeRow(FRowScratch);
  const int64_t start = FAppendPosition;
  WriteScratchRow(start);
  for (std::size_t i = 0; i < positions.size(); ++i)
    if (positions[i] >= 0) FBlobPositions[i] = start + positions[i];
  FinishAppend(start);
}

void TquvRecordset::WriteScratchRow(int64_t start) {
  TStream& data = FData->Stream();
  data.SetPosition(start);
  const std::size_t size = FRowScratch.Bytes().size();
  data.WriteBuffer(FRowScratch.Memory(), static_cast<int32_t>(size));
  // An unusually large row does not stay in memory.
  if (size > std::size_t(kMoveChunk)) FRowScratch.Clear();
}

void TquvRecordset::AppendValues(std::span<const TVariant> values) {
  CheckWritable();
  DetachDependents();
  OwnData();
  EnsureWriters();
  const int32_t count = FieldCount();
  const int32_t given = std::min<int32_t>(count, static_cast<int32_t>(values.size()));
  // The bitmap: one bit per field in whole words, 1 = null.
  std::array<uint8_t, 1 + 4 * 63> bitmap;
  const int32_t byteSize = (count + 31) / 32 * 4;
  bitmap[0] = static_cast<uint8_t>(byteSize);
  std::memset(bitmap.data() + 1, 0xFF, std::size_t(byteSize));
  for (int32_t i = 0; i < given; ++i) {
    if (!values[std::size_t(i)].IsEmptyOrNull()) bitmap[1 + i / 8] &= ~uint8_t(1u << (i % 8));
  }
  // The row is made in memory and written with one call.
  FRowScratch.SetSize(0);
  FRowScratch.WriteBuffer(bitmap.data(), 1 + byteSize);
  for (int32_t i = 0; i < given; ++i) {
    const TVariant& value = values[std::size_t(i)];
    const TquvValueWriter writer = FWriters[std::size_t(i)];
    if (!value.IsEmptyOrNull() && writer) writer(value, FRowScratch, FDefs->Item(i), true);
  }
  const int64_t start = FAppendPosition;
  WriteScratchRow(start);
  FinishAppend(start);
  FRowLoaded = false;
}

void TquvRecordset::ShiftRowsFrom(TStream& index, int64_t offset, int64_t delta, int32_t except) {
  const int64_t entries = index.Size() / kIndexEntrySize;
  std::vector<uint8_t> chunk;
  for (int64_t first = 0; first < entries;) {
    const int64_t n = std::min<int64_t>(entries - first, kMoveChunk / kIndexEntrySize);
    chunk.resize(std::size_t(n * kIndexEntrySize));
    index.SetPosition(first * kIndexEntrySize);
    index.ReadBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    for (int64_t i = 0; i < n; ++i) {
      uint8_t* entry = &chunk[std::size_t(i * kIndexEntrySize)];
      const int32_t rowOffset = GetInt32(entry);
      if (first + i != except && rowOffset >= offset) PutInt32(entry, rowOffset + delta);
    }
    index.SetPosition(first * kIndexEntrySize);
    index.WriteBuffer(chunk.data(), static_cast<int32_t>(chunk.size()));
    first += n;
  }
}

void TquvRecordset::PostRow() {
  if (!FRowLoaded) return;
  CheckWritable();
  if (FAppending) {
    AppendRow();
    return;
  }
  if (FRecNo < 0 || FRecNo >= FRecordCount) {
    throw EquvRecordsetError("There is no current row to post in " + FName);
  }
  DetachDependents();
  OwnData();
  TMemoryStream row;
  const std::vector<int64_t> positions = EncodeRow(row);
  const TIndexEntry old = ReadIndexEntry(FRecNo);
  const int64_t dataSize = FData->Size();
  if (old.Offset < 0 || old.Length < 0 || old.Offset + old.Length > dataSize) FailEof();
  const int64_t length = row.Size();
  const int64_t delta = length - old.Length;
  int64_t offset = old.Offset;
  if (AppendOnlyUpdates) {
    if (delta > 0) offset = dataSize;
  } else if (delta != 0) {
    const int64_t tail = old.Offset + old.Length;
    if (delta > 0) FData->SetSize(dataSize + delta);
    MoveBytes(*FData, tail, tail + delta, dataSize - tail);
    if (delta < 0) FData->SetSize(dataSize + delta);
  }
  FData->SetPosition(offset);
  FData->WriteBuffer(row.Memory(), static_cast<int32_t>(length));
  if (delta != 0) {
    WriteIndexEntry(FRecNo, offset, length);
    if (!AppendOnlyUpdates) {
      ShiftRowsFrom(*FIndex, old.Offset + old.Length, delta, FRecNo);
      if (FSavedIndex) ShiftRowsFrom(*FSavedIndex, old.Offset + old.Length, delta, -1);
    }
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    FBlobPositions[i] = positions[i] < 0 ? -1 : offset + positions[i];
    if (positions[i] < 0 || CacheBlobs) continue;
    FBlobCached[i] = false;
    FRowValues[i].clear();
  }
  FRowLoaded = true;
  FAppending = false;
  FRowModified = false;
  if (delta != 0) ComputeAppendPosition();
}

void TquvRecordset::NewRow() {
  if (FAppending) return;
  DetachBlobStreams(true);
  ClearRowBuffer();
  FRowLoaded = true;
  FRowModified = false;
  FAppending = true;
}

void TquvRecordset::Clear() {
  CheckWritable();
  DetachDependents();
  LeaveSharing();
  FData->SetSize(0);
  FIndex->SetSize(0);
  FSavedIndex.reset();
  FTags->Clear();
  for (std::string& value : FRowValues) value.clear();
  ClearRowBuffer();
  FRecNo = -1;
  FRecordCount = 0;
  FAppendPosition = 0;
  FRowLoaded = false;
  FRowModified = false;
  FAppending = false;
}

void TquvRecordset::SetError(int32_t code, std::string text) {
  FErrorCode = code;
  FErrorText = std::move(text);
}

// ---- Navigation ----

bool TquvRecordset::Eof() { return FRecordCount == 0 || FRecordCount <= FRecNo; }

void TquvRecordset::GoToRow(int32_t index) {
  if (index == FRecNo) return;
  if (FAppending && FRowModified) AppendRow();
  FAppending = false;
  FRecNo = index;
  FRowLoaded = false;
  std::fill(FBlobPositions.begin(), FBlobPositions.end(), -1);
}

void TquvRecordset::First() {
  GoToRow(0);
  if (FRecordCount == 0) FRecNo = -1;
}

void TquvRecordset::Last() { GoToRow(FRecordCount - 1); }
void TquvRecordset::Next() { GoToRow(FRecNo + 1); }
void TquvRecordset::Prior() { GoToRow(FRecNo - 1); }

void TquvRecordset::ComputeAppendPosition() {
  FAppendPosition = FRecordCount > 0 ? FData->Size() : 0;
}

void TquvRecordset::UpdateRowCount() {
  FRowLoaded = false;
  FRecordCount = static_cast<int32_t>(
      std::min<int64_t>(FIndex->Size() / kIndexEntrySize, std::numeric_limits<int32_t>::max()));
  if (FRecNo > FRecordCount - 1) FRecNo = FRecordCount - 1;
  if (FRecordCount > 0 && FRecNo == -1) First();
  ComputeAppendPosition();
}

void TquvRecordset::Execute(TquvRecordset*) {
  FErrorCode = 0;
  FErrorText.clear();
  UpdateRowCount();
}

// ---- Filters and comparison ----

void TquvRecordset::FilterWith(const std::function<bool()>& accept, bool reset) {
  if (reset && FSavedIndex) FIndex = std::move(FSavedIndex);
  UpdateRowCount();
  std::unique_ptr<TquvStream> selected = NewTempStream("");
  uint8_t entry[kIndexEntrySize];
  for (int32_t row = 0; row < FRecordCount; ++row) {
    GoToRow(row);
    if (!accept()) continue;
    FIndex->SetPosition(int64_t(row) * kIndexEntrySize);
    FIndex->ReadBuffer(entry, kIndexEntrySize);
    selected->WriteBuffer(entry, kIndexEntrySize);
  }
  FSavedIndex = std::move(FIndex);
  FIndex = std::move(selected);
  FRecNo = 0;
  UpdateRowCount();
}

void TquvRecordset::Filter(const std::string& expression, bool reset) {
  if (!expression.empty()) {
    throw EquvRecordsetError("Filter expressions are not available in this build");
  }
  if (!reset) return;
  if (FSavedIndex) FIndex = std::move(FSavedIndex);
  FRecNo = 0;
  UpdateRowCount();
}

void TquvRecordset::FilterByRecord() {
  FilterWith(
      [this] {
        bool accept = true;
        AcceptRecord(accept);
        return accept;
      },
      true);
}

int TquvRecordset::CompareRows(const uint8_t* a, const uint8_t* b) {
  int result = 0;
  for (const TquvSortKey& key : ThreadSortKeys()) {
    const bool nullA = a[key.Offset - 1] != 0;
    const bool nullB = b[key.Offset - 1] != 0;
    if (!nullA && !nullB) {
      result = key.Compare(a + key.Offset, b + key.Offset) * key.Direction;
    } else {
      result = nullA == nullB ? 0 : (nullA ? -1 : 1);
    }
    if (result != 0) return result;
  }
  return result;
}

// ---- Serialised form ----

void TquvRecordset::SaveToStream(TStream& stream, uint8_t flags) {
  if (flags == 0) flags = FFlags & kRsReusedFlags;
  if ((flags & kRsTotalLength) && (flags & (kRsRowsInFiles | kRsNoRows))) {
    throw EquvRecordsetError("A recordset with rows in files or without rows has no total length");
  }
  TMemoryStream tags;
  FTags->SaveToStream(tags);
  TMemoryStream defs;
  if (flags & kRsWithDefinitions) {
    FDefs->WriteToStream(defs, (flags & kRsFullDefinitions) ? 0 : 1, DefsVersion,
                         (flags & kRsWithGroups) != 0);
  }
  TquvStream out(&stream);
  const bool inlineRows = !(flags & (kRsRowsInFiles | kRsNoRows));
  const int64_t dataSize = inlineRows ? FData->Size() : 0;
  const int64_t indexSize = inlineRows ? FIndex->Size() : 0;
  if (flags & kRsTotalLength) {
    int64_t total = tags.Size() + dataSize + indexSize + 14;
    if (flags & kRsWithDefinitions) total += defs.Size() + 4;
    if (total > std::numeric_limits<int32_t>::max()) {
      throw EquvRecordsetError("The recordset " + FName + " exceeds 2 GB");
    }
    out.WriteInteger(static_cast<int32_t>(total));
  }
  const uint8_t header[2] = {kVersion, flags};
  out.WriteBuffer(header, 2);
  out.WriteInteger(static_cast<int32_t>(tags.Size()));
  out.WriteBuffer(tags.Memory(), static_cast<int32_t>(tags.Size()));
  if (flags & kRsWithDefinitions) {
    out.WriteInteger(static_cast<int32_t>(defs.Size()));
    out.WriteBuffer(defs.Memory(), static_cast<int32_t>(defs.Size()));
  }
  if (flags & kRsRowsInFiles) {
    for (TStream* rows :
         {static_cast<TStream*>(FData.get()), static_cast<TStream*>(FIndex.get())}) {
      const std::string name = StreamFileName(*rows);
      const uint8_t length[2] = {uint8_t(name.size()), uint8_t(name.size() >> 8)};
      out.WriteBuffer(length, 2);
      out.WriteRawString(name);
    }
  } else if (flags & kRsNoRows) {
    out.WriteInteger(0);
    out.WriteInteger(0);
  } else {
    out.WriteInteger(static_cast<int32_t>(dataSize));
    CopyStreams(*FData, stream, 0);
    out.WriteInteger(static_cast<int32_t>(indexSize));
    CopyStreams(*FIndex, stream, 0);
  }
}

void TquvRecordset::ReportProgress(int32_t base, int32_t span, int32_t percent) {
  if (!OnProgress) return;
  bool flag = false;
  OnProgress(*this, base + static_cast<int32_t>(std::lround(percent / 100.0 * span)), flag);
}

namespace {

// Reads an int32 block length that the stream still holds.
int32_t ReadBlockLength(TquvStream& in, TStream& stream, const std::function<void()>& fail) {
  const int32_t length = in.ReadInteger();
  if (length < 0 || (KnowsSize(stream) && length > stream.Remaining())) fail();
  return length;
}

// Fills `block` with the next `length` bytes of `stream`, grown only as
// bytes arrive.
void ReadBlock(TStream& stream, int32_t length, TMemoryStream& block) {
  if (length > 0) CopyStreams(stream, block, length);
  block.SetPosition(0);
}

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
  const int32_t length = bytes[0] | bytes[1] << 8;
  std::string name(std::size_t(length), '\0');
  in.ReadBuffer(name.data(), length);
  CheckRowsFileName(name);
  auto* file = new TTempStream(name, true, kTempOpenRead | kTempShareDenyWrite);
  return std::make_unique<TquvStream>(new TquvBufferedStream(file, 0, true), true);
}

}  // namespace

void TquvRecordset::ReadDefinitions(TStream& stream, bool forceDefinitions) {
  TquvStream in(&stream);
  const std::function<void()> fail = [this] { FailEof(); };
  TMemoryStream tags;
  ReadBlock(stream, ReadBlockLength(in, stream, fail), tags);
  if (tags.Size() > 0) FTags->LoadFromStream(tags);
  ReportProgress(0, 20, 100);
  if (!(FFlags & kRsWithDefinitions)) return;
  TMemoryStream defs;
  ReadBlock(stream, ReadBlockLength(in, stream, fail), defs);
  if (defs.Size() > 0 && (forceDefinitions || FieldCount() == 0)) {
    FDefs = SharedDefinitionsFromBlock(defs, DefsVersion, (FFlags & kRsWithGroups) != 0,
                                       FDefs->Flag(), FDefs->Text());
    FOwnDefs.reset();
    FName = DefinitionsName(*FDefs);
    PrepareFieldLists();
    Changed();
  }
  ReportProgress(20, 30, 100);
}

void TquvRecordset::ReadRows(TStream& stream, bool copyRows) {
  TquvStream in(&stream);
  if (FFlags & kRsRowsInFiles) {
    FData = OpenRowsFile(in);
    FIndex = OpenRowsFile(in);
    return;
  }
  const std::function<void()> fail = [this] { FailEof(); };
  const std::array<std::pair<int32_t, int32_t>, 2> phases = {{{30, 60}, {90, 10}}};
  for (int block = 0; block < 2; ++block) {
    const int32_t length = ReadBlockLength(in, stream, fail);
    std::unique_ptr<TquvStream>& target = block == 0 ? FData : FIndex;
    if (copyRows) {
      const int32_t base = phases[std::size_t(block)].first;
      const int32_t span = phases[std::size_t(block)].second;
      if (length > 0) {
        CopyStreams(stream, *target, length, [this, base, span](TStream*, int32_t percent, bool&) {
          ReportProgress(base, span, percent);
        });
      }
    } else {
      const int64_t start = stream.Position();
      TStream* window = length > 0
                            ? static_cast<TStream*>(new TSubStream(&stream, false, length, start))
                            : new TMemoryStream();
      target = std::make_unique<TquvStream>(window, true);
      stream.SetPosition(start + length);
    }
  }
}

void TquvRecordset::LoadFromStream(TStream& stream, bool forceDefinitions) {
  Clear();
  try {
    const uint8_t version = ReadByte(stream);
    if (version > kVersion) throw Exception("Unsupported recordset version");
    FFlags = ReadByte(stream);
    ReadDefinitions(stream, forceDefinitions);
    ReadRows(stream, true);
  } catch (...) {
    FData = NewTempStream("");
    FIndex = NewTempStream("");
    UpdateRowCount();
    throw;
  }
  UpdateRowCount();
}

void TquvRecordset::Open(TStream& stream) {
  Clear();
  try {
    ReadByte(stream);
    FFlags = ReadByte(stream);
    ReadDefinitions(stream, false);
    ReadRows(stream, false);
  } catch (...) {
    FData = NewTempStream("");
    FIndex = NewTempStream("");
    UpdateRowCount();
    throw;
  }
  const int64_t end = stream.Position();
  FReadOnly = true;
  UpdateRowCount();
  stream.SetPosition(end);
}

std::string TquvRecordset::SaveToString() {
  const uint8_t saved = FFlags;
  FFlags &= ~kRsWithDefinitions;
  TMemoryStream bytes;
  try {
    SaveToStream(bytes, 0);
  } catch (...) {
    FFlags = saved;
    throw;
  }
  FFlags = saved;
  return std::string(bytes.Bytes().begin(), bytes.Bytes().end());
}

void TquvRecordset::LoadFromString(const std::string& bytes) {
  Clear();
  if (bytes.empty()) return;
  TMemoryStream stream(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  LoadFromStream(stream, true);
}

namespace {

// A recordset as a field value: nothing (or an int32 0 length) for an empty
// recordset whose definitions were not changed, else its serialised form,
// whose total length is the value's length.
void WriteRecordsetValue(TquvRecordset& recordset, TStream& dest, bool withLength, uint8_t flags) {
  if (recordset.RecordCount() == 0 && !recordset.FieldDefs().Modified()) {
    if (withLength) TquvStream(&dest).WriteInteger(0);
    return;
  }
  recordset.SaveToStream(dest, withLength ? flags | kRsTotalLength : flags);
}

// A copy of the definition set that `field` names, Modified flag included.
std::unique_ptr<TquvSymbolDefs> FieldDefinitions(const TquvSymbolDef& field) {
  // The field's definitions come from its set, which the caller owns.
  const TquvSymbolDefs& nested = const_cast<TquvSymbolDef&>(field).Nested();
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->Assign(nested);
  defs->SetModified(nested.Modified());
  return defs;
}

// The field a dataset column becomes; a type without one raises the
// unsupported-type error.
void DefineColumn(IDataset& dataset, int32_t column, TquvSymbolDefs& defs) {
  std::string name = dataset.FieldName(column);
  char code = 0;
  int32_t size = 0;
  uint8_t decimals = 0;
  switch (dataset.FieldDataType(column) & 0x7F) {  // modulo 128, also for negative types
    case datasettype::String:
    case datasettype::WideString:
      code = 'A';
      size = std::clamp<int32_t>(dataset.FieldSize(column), 0, 0xFFFF);
      break;
    case datasettype::SmallInt:
    case datasettype::Integer:
    case datasettype::AutoInc:
      code = 'N';
      size = 8;
      break;
    case datasettype::Boolean:
      code = 'B';
      break;
    case datasettype::Float:
    case datasettype::BCD:
      code = 'N';
      size = 15;
      decimals = 7;
      break;
    case datasettype::Currency:
      code = 'N';
      size = 15;
      decimals = 2;
      break;
    case datasettype::Date:
      code = 'D';
      size = 10;
      break;
    case datasettype::DateTime:
      code = 'H';
      size = 10;
      break;
    case datasettype::Blob:
    case datasettype::OraBlob:
      code = 'I';
      break;
    case datasettype::Memo:
    case datasettype::OraClob:
      code = 'A';
      break;
    case datasettype::Dataset:
      code = 'R';
      break;
    default:
      throw Exception("Field type not supported in output of " + name);
  }
  TquvSymbolDef& field = defs.AddSymbol(std::move(name));
  field.SetTypeCode(code);
  field.SetSize(static_cast<uint16_t>(size));
  field.SetDecimals(decimals);
}

std::unique_ptr<TquvSymbolDefs> ColumnDefinitions(IDataset& dataset) {
  auto defs = std::make_unique<TquvSymbolDefs>();
  const int32_t count = dataset.FieldCount();
  for (int32_t column = 0; column < count; ++column) DefineColumn(dataset, column, *defs);
  return defs;
}

}  // namespace

void TquvRecordset::WriteValue(TStream& dest, const TquvSymbolDef& field, bool withLength) {
  const std::string& reference = field.Reference();
  if (reference.empty() || AnsiCompareText(reference, FName) == 0) {
    WriteRecordsetValue(*this, dest, withLength, kRsWithDefinitions | kRsFullDefinitions);
    return;
  }
  TquvRecordset copy;
  copy.SetFieldDefs(FieldDefinitions(field));
  std::vector<int32_t> sourceFields;
  for (int32_t i = 0; i < copy.FieldCount(); ++i)
    sourceFields.push_back(FieldIndex(copy.FieldDefs().Item(i).Name()));
  const int32_t current = FRecNo;
  std::vector<TVariant> values(sourceFields.size());
  for (int32_t row = 0; row < FRecordCount; ++row) {
    GoToRow(row);
    for (std::size_t i = 0; i < sourceFields.size(); ++i)
      values[i] = sourceFields[i] < 0 ? TVariant() : GetFieldValueByIndex(sourceFields[i]);
    copy.AppendValues(values);
  }
  GoToRow(current);
  WriteRecordsetValue(copy, dest, withLength, kRsWithDefinitions);
}

void WriteDatasetValue(IDataset& dataset, TStream& dest, const TquvSymbolDef& field,
                       bool withLength) {
  TquvRecordset recordset;
  recordset.SetFieldDefs(field.Reference().empty() ? ColumnDefinitions(dataset)
                                                   : FieldDefinitions(field));
  std::vector<int32_t> columns;
  for (int32_t i = 0; i < recordset.FieldCount(); ++i)
    columns.push_back(dataset.FieldIndex(recordset.FieldDefs().Item(i).Name()));
  std::vector<TVariant> values(columns.size());
  for (dataset.First(); !dataset.Eof(); dataset.Next()) {
    for (std::size_t i = 0; i < columns.size(); ++i)
      values[i] = columns[i] < 0 ? TVariant() : dataset.FieldValue(columns[i]);
    recordset.AppendValues(values);
  }
  WriteRecordsetValue(recordset, dest, withLength, kRsWithDefinitions);
}

// ---- Values inside values, copies ----

std::unique_ptr<TquvBlobStream> TquvRecordset::GetBlobStream(std::string_view fieldName,
                                                             bool forWrite) {
  const int32_t index = FieldIndex(fieldName);
  if (index < 0) throw Exception("Field " + std::string(fieldName) + " not found");
  if (forWrite) return std::make_unique<TquvBlobStream>(*this, true, TquvBlobStream::kWrite, index);
  if (!FAppending) EnsureRowLoaded();
  const int64_t position = FBlobPositions[std::size_t(index)];
  if (FNullBits.Bit(index) || FBlobCached[std::size_t(index)] || position < 0) {
    return std::make_unique<TquvBlobStream>(*this, true, TquvBlobStream::kRead, index);
  }
  return std::make_unique<TquvBlobStream>(*this, false, TquvBlobStream::kRead,
                                          static_cast<int32_t>(position));
}

std::unique_ptr<TquvRecordset> TquvRecordset::GetNestedRecordset(std::string_view fieldName) {
  const int32_t index = FieldIndex(fieldName);
  if (index < 0) throw Exception("Field " + std::string(fieldName) + " not found");
  TquvSymbolDefs& nestedDefs = MutableFieldDefs().Item(index).Nested();
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->Assign(nestedDefs);
  auto nested = std::make_unique<TquvRecordset>();
  nested->SetFieldDefs(std::move(defs));
  nested->DefsVersion = DefsVersion;
  nested->CacheBlobs = true;
  TMemoryStream value;
  {
    std::unique_ptr<TquvBlobStream> blob = GetBlobStream(fieldName, false);
    CopyStreams(*blob, value, 0);
  }
  if (value.Size() > 0) {
    value.SetPosition(0);
    nested->LoadFromStream(value, !nestedDefs.Modified());
  }
  return nested;
}

void TquvRecordset::TakeOver(TquvRecordset& source) {
  if (&source == this) throw Exception("Invalid source in TquvRecordset.Get");
  DetachDependents();
  LeaveSharing();
  source.DetachDependents();
  FData = std::move(source.FData);
  FIndex = std::move(source.FIndex);
  FSavedIndex = std::move(source.FSavedIndex);
  FTags = std::move(source.FTags);
  FDefs = std::move(source.FDefs);
  FOwnDefs = std::move(source.FOwnDefs);
  FSource = std::move(source.FSource);
  FReadOnly = source.FReadOnly;
  if (source.FSharedWith) {
    std::replace(source.FSharedWith->FSharers.begin(), source.FSharedWith->FSharers.end(), &source,
                 this);
    FSharedWith = std::exchange(source.FSharedWith, nullptr);
  }
  // The source is left empty but usable.
  source.UseTemporaryStreams("");
  source.FTags = std::make_unique<TquvTagBag>();
  source.FDefs = SharedEmptyDefinitions();
  source.FOwnDefs.reset();
  source.FReadOnly = false;
  source.PrepareFieldLists();
  source.FRecNo = -1;
  source.UpdateRowCount();
  PrepareFieldLists();
  Changed();
  FRecNo = -1;
  UpdateRowCount();
}

void TquvRecordset::CopyFrom(TquvRecordset& source, bool shareData, bool copyDefinitions) {
  if (&source == this) return;
  DetachDependents();
  LeaveSharing();
  Clear();
  FTags->Assign(*source.FTags);
  if (copyDefinitions) {
    MutableFieldDefs().Assign(*source.FDefs);
    FName = source.FName;
    Changed();
  }
  CopyStreams(*source.FIndex, *FIndex, 0);
  if (shareData) {
    FData = std::make_unique<TquvStream>(source.FData.get(), false);
    FSharedWith = &source;
    source.FSharers.push_back(this);
  } else {
    CopyStreams(*source.FData, *FData, 0);
  }
  PrepareFieldLists();
  UpdateRowCount();
}

// ---- Dependents ----

void TquvRecordset::DetachBlobStreams(bool inMemoryOnly) {
  const std::vector<TquvBlobStream*> streams = FBlobStreams;
  for (TquvBlobStream* stream : streams) {
    if (!inMemoryOnly || (stream->FMode == TquvBlobStream::kRead && stream->FInMemory)) {
      stream->Detach();
    }
  }
}

void TquvRecordset::DetachDependents() {
  DetachBlobStreams(false);
  const std::vector<TquvRecordset*> sharers = FSharers;
  for (TquvRecordset* sharer : sharers) sharer->OwnData();
}

void TquvRecordset::LeaveSharing() {
  if (!FSharedWith) return;
  std::erase(FSharedWith->FSharers, this);
  FSharedWith = nullptr;
  FData = NewTempStream("");
}

void TquvRecordset::OwnData() {
  if (!FSharedWith) return;
  std::unique_ptr<TquvStream> copy = NewTempStream("");
  CopyStreams(*FData, *copy, 0);
  std::erase(FSharedWith->FSharers, this);
  FSharedWith = nullptr;
  FData = std::move(copy);
}

void TquvRecordset::Unregister(TquvBlobStream& stream) { std::erase(FBlobStreams, &stream); }

}  // namespace quv
