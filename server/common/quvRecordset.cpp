#include "server/common/quvRecordset.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "expr/ExprOperators.h"
#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "platform/FailureGuard.h"
#include "platform/LittleEndian.h"
#include "platform/TempFile.h"
#include "server/common/quvBufferedStreams.h"
#include "server/common/quvIntfRegistry.h"
#include "server/common/quvRecordsetValue.h"
#include "server/common/quvSharedDefs.h"

namespace quv {

namespace {

constexpr int32_t kMaxFields = 2016;  // 63 bitmap words: the byte size travels in one byte
constexpr int32_t kMoveChunk = 65536;
constexpr std::string_view kReadOnlyError = "Can not write to a ReadOnly recordset";

bool IsTextOrObjectCode(char code) { return code == 'A' || code == 'I' || code == 'R'; }

std::string ChangeFileExt(const std::string& fileName, std::string_view extension) {
  const std::size_t slash = fileName.find_last_of('/');
  const std::size_t dot = fileName.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? fileName.substr(0, dot) : fileName) + std::string(extension);
}

void CheckFieldCount(int32_t count, const std::string& name) {
  if (count > kMaxFields) {
    throw EquvRecordsetError("A recordset holds at most 2016 fields, " + name + " has " +
                             std::to_string(count));
  }
}

std::string DefinitionsName(const TquvCustomSymbolDefs& defs) {
  const std::string qualified = defs.QualifiedName();
  return qualified.empty() ? defs.Name() : qualified;
}

}  // namespace

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
  FData = NewRowStream(fileName);
  FIndex = NewRowStream(fileName.empty() ? fileName : ChangeFileExt(fileName, ".fdx"));
}

void TquvRecordset::AddDestroyListener(const void* owner, TNotifyEvent listener) {
  FDestroyListeners.emplace_back(owner, std::move(listener));
}

void TquvRecordset::RemoveDestroyListener(const void* owner) {
  std::erase_if(FDestroyListeners, [owner](const auto& item) { return item.first == owner; });
}

// ---- Definitions ----

void TquvRecordset::SetDefinition(const std::string& prefixedName) {
  const std::size_t colon = prefixedName.find(':');
  const std::string name =
      colon == std::string::npos ? prefixedName : prefixedName.substr(colon + 1);
  const bool newName = AnsiCompareText(name, FName) != 0;
  // What can fail comes first: a failed call leaves the recordset as it was.
  std::shared_ptr<const TquvSymbolDefs> defs;
  if (newName) {
    defs = name.empty() ? SharedEmptyDefinitions()
                        : SharedInterfaceDefinitions(name, false, FDefinitionFlag);
    CheckFieldCount(defs->Count(), name);
    Clear();
  }
  if (colon != std::string::npos) FPrefix = prefixedName.substr(0, colon);
  if (!newName) return;
  FName = name;
  FDefs = std::move(defs);
  FOwnDefs.reset();
  PrepareFieldLists();
  if (!name.empty()) Changed();
}

void TquvRecordset::SetFieldDefs(std::unique_ptr<TquvSymbolDefs> definitions) {
  Clear();
  FOwnDefs = definitions ? std::move(definitions) : std::make_unique<TquvSymbolDefs>();
  FDefs = FOwnDefs;
  FCalc.Register(*FDefs);
  FName = DefinitionsName(*FDefs);
  PrepareFieldLists();
  Changed();
}

void TquvRecordset::PrepareFieldLists() {
  FCalc.AddRegisteredFields();
  const int32_t count = FieldCount();
  CheckFieldCount(count, FName);
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
  FCalc.Prepare();  // last: a bad expression leaves consistent plain fields
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

void TquvRecordset::WriteRowEntry(int32_t row, int64_t offset, int64_t length) {
  if (offset + length > std::numeric_limits<int32_t>::max()) {
    throw EquvRecordsetError("The rows of " + FName + " exceed 2 GB");
  }
  WriteIndexEntry(FIndex->Stream(), row, {offset, length});
}

void TquvRecordset::EnsureRowLoaded() {
  if (!FRowLoaded) LoadRow();
}

void TquvRecordset::ClearRowBuffer() {
  FCalc.RowChanged();
  FNullBits.SetAll(true);
  std::fill(FValueRefs.begin(), FValueRefs.end(), TValueRef{});
  std::fill(FBlobPositions.begin(), FBlobPositions.end(), -1);
  std::fill(FBlobCached.begin(), FBlobCached.end(), true);
}

void TquvRecordset::LoadRow() {
  DetachBlobStreams(true);
  FCalc.RowChanged();
  if (FRecNo >= 0 && FRecNo < FRecordCount) {
    try {
      DecodeRow(ReadIndexEntry(FIndex->Stream(), FRecNo));
    } catch (const Exception&) {
      ClearRowBuffer();
      FailEof();
    }
  } else {
    ClearRowBuffer();
  }
  FRowLoaded = true;
}

void TquvRecordset::DecodeRow(TquvIndexEntry entry) {
  TStream& data = FData->Stream();
  const int64_t dataSize = data.Seek(0, TSeekOrigin::End);
  if (entry.Offset < 0 || entry.Length < 0 || entry.Offset + entry.Length > dataSize) {
    throw EReadError();
  }
  TquvRowDecoder row(data, entry.Offset, entry.Length, FRowBytes);
  // A row loaded whole stays in FRowBytes until the next row: its values are
  // used where they lie there.
  const bool inPlace = entry.Length <= TquvRowDecoder::kRowChunk;
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

std::string UnknownFieldText(std::string_view name, std::string_view recordsetName) {
  return std::string("Não existe um campo chamado \""_cp) + std::string(name) + "\" em " +
         std::string(recordsetName);
}

TVariant TquvRecordset::GetFieldValueByIndex(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(FLayouts.size())) FailFieldIndex(index);
  const auto i = std::size_t(index);
  const TFieldLayout& layout = FLayouts[i];
  EnsureRowLoaded();
  if (CalcEnabled) FCalc.ComputeIfNeeded(index);
  if (FNullBits.Bit(index)) return {};
  if (layout.Kind == TFieldKind::Unbounded && !FBlobCached[i]) return {};
  return DataToVar(RowValueBytes(i), FDefs->Item(index));
}

TVariant TquvRecordset::GetFieldValue(std::string_view name) {
  const int32_t index = FieldIndex(name);
  if (index < 0) {
    throw Exception(UnknownFieldText(name, FName));
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
  FCalc.RowChanged();
  FNullBits.SetBit(index, bytes.empty());
  FRowValues[std::size_t(index)] = std::move(bytes);
  FBlobPositions[std::size_t(index)] = -1;
  FBlobCached[std::size_t(index)] = true;
}

void TquvRecordset::SetFieldValueByIndex(int32_t index, const TVariant& value) {
  const TquvSymbolDef& field = Field(index);
  if (!FAppending) EnsureRowLoaded();
  if (value.IsEmptyOrNull() || (value.IsText() && value.Text().empty())) {
    FCalc.RowChanged();
    FNullBits.SetBit(index, true);
    return;
  }
  EnsureWriters();
  std::string bytes;
  const char code = field.TypeCode();
  if ((code == 'N' || code == '+') && field.Decimals() == 0) {
    bytes.resize(4);
    PutInt32LE(reinterpret_cast<uint8_t*>(bytes.data()), value.ToInteger());
  } else if (code == 'N' || code == '+') {
    const auto bits = std::bit_cast<uint64_t>(value.ToDouble());
    bytes.resize(8);
    PutLittleEndian(reinterpret_cast<uint8_t*>(bytes.data()), bits, 8);
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
    throw Exception(UnknownFieldText(name, FName));
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
  WriteRowEntry(FRecordCount, start, end - start);
  // The row also joins the index that a filter saved, which its reset brings back.
  if (FSavedIndex) {
    const auto savedRows = static_cast<int32_t>(FSavedIndex->Size() / kIndexEntrySize);
    WriteIndexEntry(*FSavedIndex, savedRows, {start, end - start});
  }
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
  const TquvIndexEntry old = ReadIndexEntry(FIndex->Stream(), FRecNo);
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
    MoveStreamBytes(*FData, tail, tail + delta, dataSize - tail);
    if (delta < 0) FData->SetSize(dataSize + delta);
  }
  FData->SetPosition(offset);
  FData->WriteBuffer(row.Memory(), static_cast<int32_t>(length));
  if (delta != 0) {
    WriteRowEntry(FRecNo, offset, length);
    if (!AppendOnlyUpdates) ShiftRowOffsets(*FIndex, old.Offset + old.Length, delta, FRecNo);
    if (FSavedIndex) FollowRewrittenRow(*FSavedIndex, old, {offset, length}, !AppendOnlyUpdates);
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
  // Rows that a filter hides still lie in the data stream.
  const bool hasRows = FRecordCount > 0 || (FSavedIndex && FSavedIndex->Size() > 0);
  FAppendPosition = hasRows ? FData->Size() : 0;
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
  std::unique_ptr<TquvStream> selected = NewRowStream("");
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
    TCalcEngine engine(*this);
    engine.Parse(expression);
    FilterWith([&engine] { return ExprTruth(engine.Evaluate()); }, reset);
  } else if (reset) {
    if (FSavedIndex) FIndex = std::move(FSavedIndex);
    FRecNo = 0;
    UpdateRowCount();
  }
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
  WriteRecordsetForm(stream, flags, {*FTags, *FDefs, DefsVersion, *FData, *FIndex, FName});
}

void TquvRecordset::ReportProgress(int32_t base, int32_t span, int32_t percent) {
  if (!OnProgress) return;
  bool flag = false;
  OnProgress(*this, base + static_cast<int32_t>(std::lround(percent / 100.0 * span)), flag);
}

void TquvRecordset::ReadDefinitions(TquvRecordsetFormReader& reader, bool forceDefinitions) {
  TMemoryStream tags;
  reader.ReadBlock(tags);
  if (tags.Size() > 0) FTags->LoadFromStream(tags);
  ReportProgress(0, 20, 100);
  if (!(FFlags & kRsWithDefinitions)) return;
  TMemoryStream defs;
  reader.ReadBlock(defs);
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

void TquvRecordset::LoadFromStream(TStream& stream, bool forceDefinitions) {
  Clear();
  {
    const TFailureGuard dropRows([this] { DropRowsAfterFailedLoad(); });
    TquvRecordsetFormReader reader(stream, [this] { FailEof(); });
    if (reader.ReadByte() > kRsVersion) throw Exception("Unsupported recordset version");
    FFlags = reader.ReadByte();
    if ((FFlags & kRsRowsInFiles) && !AcceptRowFiles)
      throw EquvRecordsetError(std::string(kRowFilesRefused));
    ReadDefinitions(reader, forceDefinitions);
    reader.ReadRows(FFlags, true, FData, FIndex,
                    [this](int32_t base, int32_t span, int32_t percent) {
                      ReportProgress(base, span, percent);
                    });
    UpdateRowCount();
    // A calculated field that fails fails the load like a broken stream.
    if (CalcEnabled) FCalc.StoreAllRows();
  }
}

void TquvRecordset::StoreCalculatedFields() { FCalc.StoreAllRows(); }

void TquvRecordset::Open(TStream& stream) {
  Clear();
  {
    const TFailureGuard dropRows([this] { DropRowsAfterFailedLoad(); });
    TquvRecordsetFormReader reader(stream, [this] { FailEof(); });
    reader.ReadByte();
    FFlags = reader.ReadByte();
    ReadDefinitions(reader, false);
    reader.ReadRows(FFlags, false, FData, FIndex, nullptr);
  }
  const int64_t end = stream.Position();
  FReadOnly = true;
  UpdateRowCount();
  stream.SetPosition(end);
}

void TquvRecordset::DropRowsAfterFailedLoad() {
  FData = NewRowStream("");
  FIndex = NewRowStream("");
  UpdateRowCount();
}

std::string TquvRecordset::SaveToString() {
  const uint8_t saved = FFlags;
  FFlags &= ~kRsWithDefinitions;
  TMemoryStream bytes;
  {
    const TFailureGuard restoreFlags([this, saved] { FFlags = saved; });
    SaveToStream(bytes, 0);
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

void TquvRecordset::WriteValue(TStream& dest, const TquvSymbolDef& field, bool withLength) {
  WriteRecordsetAsValue(*this, dest, field, withLength);
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
  return ReadNestedRecordset(*this, fieldName);
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
  // The calculated fields go with the definitions.
  FCalc.Register(*FDefs);
  source.FCalc.Register(*source.FDefs);
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
    if (source.FOwnDefs) {
      MutableFieldDefs().Assign(*source.FDefs);
    } else {  // a shared set is read-only: this one copies it before any change
      FDefs = source.FDefs;
      FOwnDefs.reset();
    }
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
  DetachSharers();
}

void TquvRecordset::DetachSharers() {
  const std::vector<TquvRecordset*> sharers = FSharers;
  for (TquvRecordset* sharer : sharers) sharer->OwnData();
}

void TquvRecordset::LeaveSharing() {
  if (!FSharedWith) return;
  DetachSharers();
  std::erase(FSharedWith->FSharers, this);
  FSharedWith = nullptr;
  FData = NewRowStream("");
}

void TquvRecordset::OwnData() {
  if (!FSharedWith) return;
  // Recordsets sharing this one's data read through the stream about to go.
  DetachSharers();
  std::unique_ptr<TquvStream> copy = NewRowStream("");
  CopyStreams(*FData, *copy, 0);
  std::erase(FSharedWith->FSharers, this);
  FSharedWith = nullptr;
  FData = std::move(copy);
}

void TquvRecordset::Unregister(TquvBlobStream& stream) { std::erase(FBlobStreams, &stream); }

}  // namespace quv
