#include "appserver/quvRecordsetBytes.h"

#include <algorithm>

#include "platform/LittleEndian.h"
#include "server/common/quvRecordsetFormat.h"

namespace quv {

namespace {

constexpr int32_t kPieceSize = 65536;

// Appends what it reads from a source to a byte vector, within a limit.
class TRecordsetCopy final {
 public:
  TRecordsetCopy(TStream& source, int64_t limit) : FSource(source), FLimit(limit) {}

  uint8_t Byte() {
    Take(1);
    return FBytes.back();
  }
  // An int32 length and that many bytes; returns the length.
  int32_t Block() {
    Take(4);
    const int32_t length = GetInt32LE(FBytes.data() + FBytes.size() - 4);
    if (length < 0) throw ERecordsetBytesError("Negative block length in a recordset");
    if (length > FLimit - static_cast<int64_t>(FBytes.size())) RefuseSize();
    for (int32_t left = length; left > 0;) {
      const int32_t piece = std::min(left, kPieceSize);
      Take(piece);
      left -= piece;
    }
    return length;
  }
  std::vector<uint8_t> Bytes() { return std::move(FBytes); }

 private:
  [[noreturn]] static void RefuseSize() {
    throw ERecordsetBytesError("Recordset larger than the server accepts");
  }
  void Take(int32_t count) {
    if (static_cast<int64_t>(FBytes.size()) + count > FLimit) RefuseSize();
    const std::size_t done = FBytes.size();
    FBytes.resize(done + static_cast<std::size_t>(count));
    FSource.ReadBuffer(FBytes.data() + done, count);
  }

  TStream& FSource;
  int64_t FLimit;
  std::vector<uint8_t> FBytes;
};

}  // namespace

std::vector<uint8_t> ReadRecordsetBytes(TStream& source, int64_t limit, int32_t* rowCount) {
  TRecordsetCopy copy(source, limit);
  if (copy.Byte() > kRsVersion) throw ERecordsetBytesError("Unsupported recordset version");
  const uint8_t flags = copy.Byte();
  if (flags & kRsRowsInFiles)
    throw ERecordsetBytesError(std::string(kRowFilesRefused));
  copy.Block();  // tag bag
  if (flags & kRsWithDefinitions) copy.Block();
  copy.Block();  // data
  const int32_t indexLength = copy.Block();
  if (rowCount != nullptr) *rowCount = indexLength / kIndexEntrySize;
  return copy.Bytes();
}

}  // namespace quv
