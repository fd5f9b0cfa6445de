#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "transport/quvpack.h"

// The exchange of one remote call over a connection, as every caller of a
// server makes it: the request package and its "RECVOK"; the wait for the
// reply, answering "QUVF" probes and reading "QUVN" notifications; the reply's
// commands; the reply's "RECVOK".
namespace quv {

// Writes the parameters item of a request.
using TquvWriteParameters = std::function<void(TquvPackageWriter& writer)>;
// Reads the recordset item of a reply.
using TquvReadRecordset = std::function<void(TquvPackageReader& reader)>;
// The share of the reply wait that has passed, in percent. May raise to end
// the wait.
using TquvCallProgress = std::function<void(int32_t percent)>;

// How a call waits.
struct TquvCallWait {
  int32_t AcknowledgeMs = 20000;  // for the request's "RECVOK"
  int32_t ReplyMs = 30000;        // for the reply's signature
  // The longest single wait for a signature (0: the package's default wait of
  // 30000 ms), so that Progress is called at least this often.
  int32_t SliceMs = 0;
  TquvCallProgress Progress;  // after each signature read; may be empty
};

// What came back besides the reply's header and recordset.
struct TquvCallOutcome {
  std::string ErrorText;  // the text of a result kind 2 reply
  int32_t Probes = 0;     // probes answered while waiting
};

// Starts the request package: `header` with `context` and the item that
// `writeParameters` writes (none when empty), still buffered.
void WriteCallRequest(TquvPackage& package, const TquvCommandHeader& header,
                      std::string_view context, const TquvWriteParameters& writeParameters);

// Sends the request: `header` with `context`, the item that
// `writeParameters` writes (none when empty), the end marker; then waits up to
// wait.AcknowledgeMs for "RECVOK".
void SendCallRequest(TquvPackage& package, const TquvCommandHeader& header,
                     std::string_view context, const TquvWriteParameters& writeParameters,
                     int32_t acknowledgeMs);

// Waits for the reply's signature as `wait` says and reads the reply: each
// command's header replaces `header` (its row count added to RowsSoFar), an
// error text goes to the outcome, a recordset through `readRecordset`. The
// reply is acknowledged, also when reading it failed. A wait that runs out
// resets the connection and raises ENoDataError; a closed connection raises
// ENoConnectionError; the package's errors pass through.
TquvCallOutcome ReceiveCallReply(TquvPackage& package, TquvCommandHeader& header,
                                 const TquvReadRecordset& readRecordset, const TquvCallWait& wait);

// SendCallRequest, then ReceiveCallReply.
TquvCallOutcome ExchangeCall(TquvPackage& package, TquvCommandHeader& header,
                             std::string_view context, const TquvWriteParameters& writeParameters,
                             const TquvReadRecordset& readRecordset, const TquvCallWait& wait);

}  // namespace quv
