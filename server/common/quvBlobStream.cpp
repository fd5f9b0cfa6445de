#include "server/common/quvBlobStream.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/LittleEndian.h"
#include "server/common/quvRecordset.h"

namespace quv {

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
    FSize = complete ? GetInt32LE(bytes) : -1;
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

}  // namespace quv
