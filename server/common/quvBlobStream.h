#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Exception.h"
#include "platform/Streams.h"

namespace quv {

class TquvRecordset;

// A blob stream was used against its mode.
class EquvBlobStreamError : public Exception {
 public:
  using Exception::Exception;
};

// A stream over one text or blob field of a recordset's current row: read
// mode gives the value as it was when the stream was made (the recordset
// hands it a copy before changing it), write mode collects bytes that
// become the field's value when CommitOnClose is set. The recordset must
// outlive an attached stream or detach it. Not thread-safe.
class TquvBlobStream final : public TStream {
 public:
  static constexpr uint8_t kRead = 0;
  static constexpr uint8_t kWrite = 1;

  // `location`: read mode from the data stream, the offset of the value's
  // int32 length; in memory or write mode, the field index. Mode 2 raises
  // "Can not create a read/write stream!".
  TquvBlobStream(TquvRecordset& recordset, bool inMemory, uint8_t mode, int32_t location);
  ~TquvBlobStream() override;

  void SetSize(int64_t newSize) override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  // Copies the value (read mode) and lets go of the recordset.
  void Detach();
  bool Attached() const { return FRecordset != nullptr; }
  bool Modified() const { return FModified; }
  const std::string& FieldName() const { return FFieldName; }

  bool CommitOnClose = false;
  std::function<void(TquvBlobStream& sender)> OnWrite;

 private:
  friend class TquvRecordset;
  void Close();
  int32_t ReadAttached(void* buffer, int32_t count);

  TquvRecordset* FRecordset;
  uint8_t FMode;
  bool FInMemory;
  int64_t FLocation;
  TMemoryStream FBuffer;
  bool FDetached = false;
  int64_t FPosition = 0;
  int64_t FSize = 0;
  std::string FFieldName;
  bool FModified = false;
};

}  // namespace quv
