#include "appserver/quvCallRequest.h"

#include "appserver/quvRecordsetBytes.h"
#include "platform/FailureGuard.h"

namespace quv {

TCallRequest ReadCallRequest(TquvPackageReader& reader, int64_t maxBytes) {
  if (!reader.NextIsCommand()) throw EPackageError("A call package without a command header");
  TCallRequest request;
  {
    const TFailureGuard endHeader([&reader] { reader.EndCommandHeader(); });
    reader.ReadCommandHeader(request.Header, request.Context);
    const bool withParameters = reader.ReadRecordsetOrEnd([&](TStream& source) {
      request.Parameters = ReadRecordsetBytes(source, maxBytes, &request.ParameterRows);
    });
    if (withParameters && reader.NextIsCommand())
      throw EPackageError("A call package with more than one command");
  }
  reader.EndCommandHeader();
  return request;
}

}  // namespace quv
