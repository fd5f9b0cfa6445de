#pragma once

#include <cstdint>
#include <vector>

#include "platform/Exception.h"
#include "platform/Streams.h"

namespace quv {

// A serialised recordset the server does not accept.
class ERecordsetBytesError : public Exception {
 public:
  using Exception::Exception;
};

// Serialised recordset: version (1 byte, at most 1), flags (1 byte), tag bag
// (int32 length + bytes), definitions when flag bit 0 (int32 length + bytes),
// data and index (each int32 length + bytes).
//
// Reads one serialised recordset from `source` as far as its own lengths
// reach and returns its bytes unchanged. Refuses a version above 1, rows
// kept in files (flag bit 3: names of files on the server's disk) and a
// recordset of more than `limit` bytes; memory grows only with the bytes
// that arrive. `rowCount`, when given, receives the rows its index holds.
std::vector<uint8_t> ReadRecordsetBytes(TStream& source, int64_t limit,
                                        int32_t* rowCount = nullptr);

}  // namespace quv
