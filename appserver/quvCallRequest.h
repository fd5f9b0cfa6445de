#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/quvpack.h"

namespace quv {

// A call as a client sends it after the "QUV1" signature: the header, the
// call context text, and the parameters recordset in its serialised form
// (empty when the request had none) with the rows its index holds.
struct TCallRequest {
  TquvCommandHeader Header;
  std::string Context;
  std::vector<uint8_t> Parameters;
  int32_t ParameterRows = 0;
};

// Reads the call package that follows a "QUV1" signature, up to its end
// marker; the parameters recordset may hold at most `maxBytes` bytes.
// Raises EPackageError for a package that is not one command, and the
// errors of the reader and of ReadRecordsetBytes.
TCallRequest ReadCallRequest(TquvPackageReader& reader, int64_t maxBytes);

}  // namespace quv
