#pragma once

// What the reply fuzz targets share: a client's wait for a reply, bounded in
// the signatures it reads so that no input keeps it waiting.

#include "transport/quvCallExchange.h"

namespace quv::fuzz {

// Waits for the reply as a client does and reads it, the recordset item
// through `readRecordset`; raises EPackageError after kMaxSignatures
// signatures that were not the reply.
inline TquvCallOutcome ReceiveBoundedReply(TquvPackage& package, TquvCommandHeader& header,
                                           const TquvReadRecordset& readRecordset) {
  constexpr int kMaxSignatures = 64;
  TquvCallWait wait;
  int signatures = 0;
  wait.Progress = [&signatures](int32_t) {
    if (++signatures == kMaxSignatures) throw EPackageError("too many signatures");
  };
  return ReceiveCallReply(package, header, readRecordset, wait);
}

}  // namespace quv::fuzz
