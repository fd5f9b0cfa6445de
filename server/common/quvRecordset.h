#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "platform/Streams.h"
#include "platform/Sync.h"
#include "server/common/quvBitsAndTags.h"
#include "server/common/quvBlobStream.h"
#include "server/common/quvIntf.h"
#include "server/common/quvRecordsetCalc.h"
#include "server/common/quvRecordsetFormat.h"
#include "server/common/quvRecordsetValue.h"
#include "server/common/quvstream.h"

namespace quv {

// One key of a row comparison: the key's bytes start at Offset in both
// buffers, after a flag byte (1 = null); Direction is +1 or -1.
struct TquvSortKey {
  int32_t Offset = 0;
  int (*Compare)(const uint8_t* a, const uint8_t* b) = nullptr;
  int8_t Direction = 1;
};
// The sort keys of the calling thread, which CompareRows walks.
std::vector<TquvSortKey>& ThreadSortKeys();

// The error text of a field name that a recordset named `recordsetName` lacks.
std::string UnknownFieldText(std::string_view name, std::string_view recordsetName);

// A named table of rows held as two streams: encoded rows back to back in
// the data stream and an (offset, length) entry of 8 bytes per row in the
// index stream. One row at a time is decoded into the row buffer. Owns its
// streams, tag bag and definitions. Used by one thread at a time.
class TquvRecordset : public TquvValueObject {
 public:
  using TProgressEvent = std::function<void(TquvRecordset& sender, int32_t percent, bool& flag)>;
  using TNotifyEvent = std::function<void(TquvRecordset& sender)>;

  // Mode 1 opens `fileName` read-only as the recordset's source; otherwise
  // rows live in temporary streams (on `fileName` and its ".fdx" companion
  // when a name is given). `flag` goes to the definition lookup.
  explicit TquvRecordset(const std::string& fileName = "", const std::string& definitionName = "",
                         int32_t mode = 0, uint8_t flag = 0);
  // Opens `stream` read-only when `openStream`; otherwise its bytes are the
  // data stream of a recordset without rows.
  static std::unique_ptr<TquvRecordset> CreateFromStream(TStream* stream, bool ownsStream,
                                                         const std::string& definitionName,
                                                         uint8_t flag, bool openStream);
  ~TquvRecordset() override;

  // ---- Overridable operations ----
  virtual int CompareRows(const uint8_t* a, const uint8_t* b);
  virtual void AcceptRecord(bool& accept) { accept = true; }
  virtual void SetText(std::string value) { FText = std::move(value); }
  virtual void SetOption(uint8_t value) { FOption = value; }
  virtual bool Eof();
  // A name, or a prefix, ':' and a name.
  virtual void SetDefinition(const std::string& prefixedName);
  // Serialised without definitions, with the stored flags.
  virtual std::string SaveToString();
  virtual void LoadFromString(const std::string& bytes);
  virtual void Changed();
  virtual void Execute(TquvRecordset* parameters);
  virtual void UpdateRowCount();
  // Keeps the rows for which `expression` (over the fields of the row, see
  // TCalcEngine) is true; with `reset` the rows the last filter hid come back
  // first. An empty expression with `reset` only brings them back. A bad
  // expression raises its parse error before anything changes.
  virtual void Filter(const std::string& expression, bool reset);
  virtual void FilterByRecord();
  virtual void First();
  virtual void Last();
  virtual void Next();
  virtual void Prior();
  virtual void GoToRow(int32_t index);

  // ---- Definitions and fields ----
  // Takes `definitions`; its fields with an expression stay calculated (or
  // aggregate) fields even when later definitions lack them.
  void SetFieldDefs(std::unique_ptr<TquvSymbolDefs> definitions);
  const TquvSymbolDefs& FieldDefs() const { return *FDefs; }
  // The definitions for changing: a copy of this recordset's own first when
  // they are shared (see FDefs).
  TquvSymbolDefs& MutableFieldDefs();
  int32_t FieldCount() const { return FDefs->Count(); }
  int32_t FieldIndex(std::string_view name) const;
  // A calculated field is computed on its first read in a row (when
  // CalcEnabled) and its value stored in the row buffer.
  TVariant GetFieldValue(std::string_view name);
  TVariant GetFieldValueByIndex(int32_t index);
  void SetFieldValue(std::string_view name, const TVariant& value);
  void SetFieldValueByIndex(int32_t index, const TVariant& value);
  bool IsNull(int32_t index);

  // ---- Rows ----
  void NewRow();
  void AppendRow();
  void PostRow();
  void AppendValues(std::span<const TVariant> values);
  void Clear();
  void SetError(int32_t code, std::string text);
  // Computes the calculated and aggregate fields of every row and stores
  // them in the rows, as loading does.
  void StoreCalculatedFields();

  // ---- Serialised form ----
  void SaveToStream(TStream& stream, uint8_t flags);
  void LoadFromStream(TStream& stream, bool forceDefinitions);
  // Reads the header and uses the rows where they lie in `stream`, which must
  // outlive the recordset; the recordset becomes read-only.
  void Open(TStream& stream);
  void WriteValue(TStream& dest, const TquvSymbolDef& field, bool withLength) override;

  // ---- Values inside values, copies ----
  std::unique_ptr<TquvRecordset> GetNestedRecordset(std::string_view fieldName);
  std::unique_ptr<TquvBlobStream> GetBlobStream(std::string_view fieldName, bool forWrite);
  void TakeOver(TquvRecordset& source);
  void CopyFrom(TquvRecordset& source, bool shareData, bool copyDefinitions);

  // Called, in the order added, when the recordset is destroyed.
  void AddDestroyListener(const void* owner, TNotifyEvent listener);
  void RemoveDestroyListener(const void* owner);

  // ---- State ----
  const std::string& Name() const { return FName; }
  const std::string& Prefix() const { return FPrefix; }
  int32_t RecNo() const { return FRecNo; }
  int32_t RecordCount() const { return FRecordCount; }
  int64_t AppendPosition() const { return FAppendPosition; }
  bool RowModified() const { return FRowModified; }
  bool Appending() const { return FAppending; }
  bool ReadOnly() const { return FReadOnly; }
  uint8_t Flags() const { return FFlags; }
  void SetFlags(uint8_t flags) { FFlags = flags; }
  bool CacheBlobs = false;
  // Whether a load takes rows that the form names by file (flag bit 3): only
  // code of this process may pass them, never a peer.
  bool AcceptRowFiles = true;
  bool AppendOnlyUpdates = false;
  int32_t DefsVersion = 2;
  bool CalcEnabled = true;
  TquvTagBag& Tags() { return *FTags; }
  TStream& DataStream() const { return *FData; }
  TStream& IndexStream() const { return *FIndex; }
  int32_t ErrorCode() const { return FErrorCode; }
  const std::string& ErrorText() const { return FErrorText; }
  const std::string& Text() const { return FText; }
  uint8_t Option() const { return FOption; }
  TCriticalSection& Lock() { return FLock; }

  TProgressEvent OnProgress;
  TNotifyEvent OnChange;

 private:
  friend class TquvBlobStream;
  friend class TquvRecordsetCalc;
  // How a field's value lies in an encoded row: fixed bytes, int32-length
  // text cut at its first NUL, or an int32-length value that may stay in
  // the data stream.
  enum class TFieldKind : uint8_t { Fixed, BoundedText, Unbounded };
  struct TFieldLayout {
    TFieldKind Kind;
    int32_t DataSize;  // the bytes of a Fixed value
  };
  static TFieldLayout LayoutOf(const TquvSymbolDef& field);
  // Where a value of the loaded row lies in FRowBytes; Offset -1: in FRowValues.
  struct TValueRef {
    int64_t Offset = -1;
    int32_t Length = 0;
  };

  void UseTemporaryStreams(const std::string& fileName);
  void PrepareFieldLists();
  const TquvSymbolDef& Field(int32_t index) const;
  [[noreturn]] void FailFieldIndex(int32_t index) const;
  // Writes the index entry of `row`; rows beyond 2 GB raise EquvRecordsetError.
  void WriteRowEntry(int32_t row, int64_t offset, int64_t length);
  void EnsureRowLoaded();
  void ClearRowBuffer();
  void LoadRow();
  void DecodeRow(TquvIndexEntry entry);
  // The in-memory form of a value of the current row.
  std::span<const uint8_t> RowValueBytes(std::size_t index) const;
  // Copies the values still lying in FRowBytes into FRowValues, before the
  // row buffer is changed or handed out.
  void KeepRowValuesInMemory();
  void StoreValue(int32_t index, std::string bytes);
  void EnsureWriters();
  void CheckWritable() const;
  // Writes the row buffer in row form; returns, per field, where an unbounded
  // value starts within the row (-1 for the others).
  std::vector<int64_t> EncodeRow(TStream& dest);
  void CopyStoredBlob(int32_t index, TStream& dest);
  // Writes the row made in FRowScratch at `start` of the data stream.
  void WriteScratchRow(int64_t start);
  void FinishAppend(int64_t start);
  void ComputeAppendPosition();
  void FilterWith(const std::function<bool()>& accept, bool reset);
  void ReadDefinitions(TquvRecordsetFormReader& reader, bool forceDefinitions);
  // A load that failed leaves empty row streams.
  void DropRowsAfterFailedLoad();
  void ReportProgress(int32_t base, int32_t span, int32_t percent);
  [[noreturn]] void FailEof() const;

  // Before the streams change: detach blob streams and sharers.
  void DetachDependents();
  // Makes every recordset that shares this one's data stream copy it first.
  void DetachSharers();
  void DetachBlobStreams(bool inMemoryOnly);
  // Stops sharing another recordset's data, starting with an empty stream.
  void LeaveSharing();
  // Stops sharing another recordset's data, keeping a private copy.
  void OwnData();
  void Unregister(TquvBlobStream& stream);

  std::string FName;
  std::string FPrefix;
  uint8_t FDefinitionFlag = 0;
  // The definitions. Sets from the interface registry or from a definitions
  // block are shared read-only between recordsets; FOwnDefs is FDefs when the
  // set is this recordset's alone (made here, or copied before a change).
  std::shared_ptr<const TquvSymbolDefs> FDefs;
  std::shared_ptr<TquvSymbolDefs> FOwnDefs;
  std::unique_ptr<TquvStream> FData;
  std::unique_ptr<TquvStream> FIndex;
  std::unique_ptr<TquvStream> FSavedIndex;
  std::unique_ptr<TStream> FSource;
  std::unique_ptr<TquvTagBag> FTags;
  int32_t FRecNo = -1;
  int32_t FRecordCount = 0;
  int64_t FAppendPosition = 0;
  // Per field, from the definitions when they are prepared; the definitions
  // must not change until they are prepared again.
  std::vector<TFieldLayout> FLayouts;
  std::vector<std::string> FRowValues;
  std::vector<TValueRef> FValueRefs;
  // A row being encoded for an append, kept for the next one.
  TMemoryStream FRowScratch;
  // The bytes of the row being decoded, kept for the next row.
  std::vector<uint8_t> FRowBytes;
  TBits FNullBits;
  // Per unbounded field: where its value starts in the data stream (-1: not
  // there), and whether the value is in FRowValues.
  std::vector<int64_t> FBlobPositions;
  std::vector<bool> FBlobCached;
  bool FRowLoaded = false;
  bool FRowModified = false;
  bool FAppending = false;
  bool FReadOnly = false;
  uint8_t FFlags = 0;
  std::vector<TquvValueWriter> FWriters;
  int32_t FErrorCode = 0;
  std::string FErrorText;
  std::string FText;
  uint8_t FOption = 0;
  TCriticalSection FLock;
  TquvRecordsetCalc FCalc{*this};
  TquvRecordset* FSharedWith = nullptr;
  std::vector<TquvRecordset*> FSharers;
  std::vector<TquvBlobStream*> FBlobStreams;
  std::vector<std::pair<const void*, TNotifyEvent>> FDestroyListeners;
};

}  // namespace quv
