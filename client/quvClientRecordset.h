#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Exception.h"
#include "server/common/quvRecordset.h"
#include "support/BrokerBridge.h"
#include "transport/quvpack.h"

namespace quv {

// An error reported by a remote call.
class EquvRemoteError : public Exception {
 public:
  using Exception::Exception;
};

// A definition text split: [host "@"] [data source ":"] method.
struct TquvCallTarget {
  std::string Host;
  std::string DataSource;
  std::string Method;
};
TquvCallTarget SplitCallDefinition(const std::string& definitionText);

// A recordset that runs a remote method and then holds the reply rows. The
// text property is the channel name of its execute thread and the option
// byte switches asynchronous execution on. Used by one thread at a time; a
// queued call's reply is applied on the main thread.
class TquvClientRecordset : public TquvRecordset {
 public:
  using TBeforeExecuteEvent = std::function<void(
      TquvClientRecordset& sender, TquvCommandHeader& header, TquvRecordset* parameters)>;
  using TAfterExecuteEvent = std::function<void(TquvClientRecordset& sender)>;

  TquvClientRecordset();
  ~TquvClientRecordset() override;

  void SetText(std::string value) override;
  void SetOption(uint8_t value) override;
  bool Eof() override;
  // [host "@"] [data source ":"] method: the method's fields.
  void SetDefinition(const std::string& definitionText) override;
  void Changed() override;
  // Runs the call with `parameters` (or none). A queued call the queue refuses
  // (none installed, or full) raises the queue's general error.
  void Execute(TquvRecordset* parameters) override;
  // Drops or cancels a queued call of this recordset.
  void Cancel();
  // The call context queued calls send (a copy of `context`, taken now; none:
  // the calling thread's, as for calls carried at once).
  void SetCallContext(const TquvTagBag* context);

  // Applies a call's reply: its header, its rows (taken from `result` unless
  // it is this recordset) or its error text.
  void ApplyReply(const TquvCommandHeader& header, TquvRecordset* result,
                  const std::string& errorText);
  // A queued call of this recordset was cancelled and will never be applied.
  void ForgetCall();

  const std::string& Host() const { return FHost; }
  void SetHost(std::string host) { FHost = std::move(host); }
  const std::string& DataSource() const { return FDataSource; }
  void SetDataSource(std::string dataSource) { FDataSource = std::move(dataSource); }
  const std::string& MethodName() const { return FMethodName; }
  const TquvCommandHeader& Header() const { return FHeader; }
  bool ReplyComplete() const { return FReplyComplete; }
  int32_t PendingCalls() const { return FPendingCalls.load(); }
  bool Executing() const { return FExecuting.load(); }
  const TVariant& KeyValue() const { return FKeyValue; }
  const std::string& KeyFieldName() const { return FKeyFieldName; }
  // Whether this recordset's calls go through the execute thread (on and no broker).
  bool Asynchronous() const;

  bool Compress = false;
  bool RaiseErrors = false;
  bool Background = false;
  // Queued calls only: the recordset frees itself once the queue has applied
  // its reply (after OnAfterExecute). It must have been made with new, and
  // nothing else may free it while such a call is queued.
  bool FreeOnDelivery = false;
  int32_t RowLimit = 0;  // 0: none; from 1 the call asks for at most this many rows
  TBeforeExecuteEvent OnBeforeExecute;
  TAfterExecuteEvent OnAfterExecute;

 private:
  void TakeKey(TquvRecordset& source);
  void Dispatch(TquvRecordset* parameters, uint8_t callKind, bool withBroker);
  void CallSynchronously(TquvRecordset* parameters, uint8_t callKind, bool withBroker);
  // Hands the call to the queue (attaching to its thread first); raises
  // when there is no queue or it refuses the call.
  void Enqueue(TquvRecordset* parameters, uint8_t callKind);
  void Fail(const std::string& errorText);
  // Raises the error of a failed call when RaiseErrors is set.
  void RaiseOnFailure();
  void PublishChange();
  [[noreturn]] void ReportRemoteError(const std::string& text);
  void Detach();
  std::string TaskName() const;

  std::string FHost;
  std::string FDataSource;
  std::string FMethodName;
  TquvCommandHeader FHeader;
  bool FReplyComplete = true;
  std::atomic<int32_t> FPendingCalls{0};
  std::atomic<bool> FExecuting{false};
  TVariant FKeyValue;
  std::string FKeyFieldName;
  uint8_t FCallClass = 0;
  std::string FOwnerName;  // the definition set's name up to its last '.'
  bool FAttached = false;  // holds the execute thread of FChannel
  std::string FChannel;
  bool FApplying = false;
  std::unique_ptr<TquvTagBag> FCallContext;
};

// The key field of `recordset`'s fields: the first whose type code is '+'
// or whose flags have bit 2 set; -1 without one.
int32_t KeyFieldIndex(TquvRecordset& recordset);

}  // namespace quv
