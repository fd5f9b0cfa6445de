#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/common/quvRecordset.h"
#include "transport/quvpack.h"

namespace quv {

// The cancel flags of a connection and of its current call, and the count
// of probes the client answered during the current call. Thread-safe.
class TCallControl final {
 public:
  // Starts a call: clears the probe count and the call's cancel. False when
  // the connection is cancelled already.
  bool BeginCall();
  // Sticky: once cancelled, the connection ends after its current call.
  void Cancel();
  bool Cancelled() const;
  // Cancels the current call only; the connection serves on.
  void CancelCall();
  // True when the current call was cancelled, alone or with the connection.
  bool CallCancelled() const;
  void ProbeAnswered();
  int32_t ProbesAnswered() const;
  // Waits up to `ms` for a cancel of the call; true when cancelled.
  bool WaitForCancel(uint32_t ms);
  // Waits up to `ms` until `count` probes were answered or the call was
  // cancelled; true when the probes were answered.
  bool WaitForProbes(int32_t count, uint32_t ms);

 private:
  bool AnyCancel() const { return FCancelled || FCallCancelled; }

  mutable std::mutex FLock;
  std::condition_variable FChanged;
  bool FCancelled = false;
  bool FCallCancelled = false;
  int32_t FProbes = 0;
};

// What a method handler gets: the request header, the call context text,
// the parameters recordset in its serialised form (empty when the request
// had none) with its row count, the call's control and the client's
// address ("a.b.c.d:port"). Borrowed for the call only.
struct TMethodCall {
  const TquvCommandHeader& Header;
  std::string_view Context;
  const std::vector<uint8_t>& Parameters;
  int32_t ParameterRows;
  TCallControl& Control;
  const std::string& Peer;

  // The parameters as a recordset with the definitions of the called
  // method, on its first row (none without parameters). The bytes passed
  // the server's checks when they were read, so no rows in files get here.
  std::unique_ptr<TquvRecordset> ParametersRecordset() const;
  // The value of the parameter `name` of the first row; raises when the
  // call has no parameters row.
  TVariant Parameter(std::string_view name) const;
};

// What a handler produces: the reply recordset, serialised (possibly shared
// with other replies, never changed) or as an object, with its row count; or
// an error text for the client. An incomplete reply says that its rows are
// not all of them.
struct TMethodResult {
  using TBytes = std::shared_ptr<const std::vector<uint8_t>>;

  bool Failed = false;
  bool Incomplete = false;
  TBytes Recordset;
  std::unique_ptr<TquvRecordset> Rows;
  int32_t RowCount = 0;
  std::string ErrorText;

  bool HasRecordset() const { return Rows != nullptr || (Recordset && !Recordset->empty()); }

  static TMethodResult Reply(std::vector<uint8_t> recordset, int32_t rowCount);
  static TMethodResult Reply(TBytes recordset, int32_t rowCount);
  static TMethodResult Reply(std::unique_ptr<TquvRecordset> rows);
  static TMethodResult IncompleteReply(std::vector<uint8_t> recordset, int32_t rowCount);
  static TMethodResult Error(std::string text);
};

// A handler may raise: the exception's message becomes the error text.
using TMethodHandler = std::function<TMethodResult(const TMethodCall& call)>;

// The server's methods by name (compared without regard to case). Filled
// before the server starts, read-only afterwards, so reads need no lock.
class TMethodRegistry final {
 public:
  void Register(std::string_view name, TMethodHandler handler);
  // The handler of `name`, or null.
  const TMethodHandler* Find(std::string_view name) const;
  // Runs the handler of the call's method: an unknown method, and whatever
  // the handler raises, become the reply's error text.
  TMethodResult Run(const TMethodCall& call) const;
  // The libraries served: the part before the first dot of each name, lower case.
  std::set<std::string> Libraries() const;

 private:
  std::map<std::string, TMethodHandler> FHandlers;  // by lower-case name
};

}  // namespace quv
