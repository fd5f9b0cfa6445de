#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/common/quvRecordset.h"
#include "transport/quvpack.h"

namespace quv {

class TquvClientRecordset;

// One call handed to the asynchronous queue: the queue runs it on the execute
// thread of Channel and later applies the reply to Recordset on the main
// thread (TquvClientRecordset::ApplyReply).
struct TquvQueuedCall {
  TquvClientRecordset* Recordset = nullptr;  // must stay alive until applied or detached
  std::string Channel;
  std::string TaskName;  // method + " em " + host
  std::string Host;
  uint8_t CallKind = 0;
  TquvCommandHeader Header;
  std::unique_ptr<TquvRecordset> Parameters;  // a copy of the parameters, or none
  std::unique_ptr<TquvTagBag> Context;        // a copy of the caller's call context, or none
  bool FreeOwner = false;                     // Recordset is freed once its reply has been applied
};

// The asynchronous call queue as the remote call sees it. Implementations are
// thread-safe; the calls of one recordset come from the main thread.
class IquvCallQueue {
 public:
  virtual ~IquvCallQueue() = default;
  // Takes one reference on the execute thread of `channel`, made on first use.
  virtual void Attach(const std::string& channel) = 0;
  // Queues `call` on the attached thread of its channel, first cancelling
  // the earlier calls of its recordset there (each cancelled call is
  // forgotten, TquvClientRecordset::ForgetCall). Raises when the queue is full.
  virtual void Enqueue(TquvQueuedCall call) = 0;
  // Drops or cancels, on every execute thread, the request `requestNumber`.
  virtual void Cancel(int32_t requestNumber) = 0;
  // Cancels (and forgets) the pending calls of `recordset` on the thread of
  // `channel` and releases that thread, waiting for it when `wait`.
  virtual void Detach(TquvClientRecordset& recordset, const std::string& channel, bool wait) = 0;
};

// The change-notification hub as the remote call sees it. Thread-safe.
class IquvChangeNotifier {
 public:
  virtual ~IquvChangeNotifier() = default;
  // Announces a change of `owner`'s data made by a call of `callClass`.
  virtual void Publish(const std::string& owner, const std::string& keyName,
                       const TVariant& keyValue, uint8_t callClass, int32_t operation) = 0;
};

// Installs the queue or the hub (null removes it); what is installed must
// stay alive while installed. Until a queue is installed, asynchronous and
// background calls fail; until a hub is installed, no change is published.
void SetCallQueue(IquvCallQueue* queue);
IquvCallQueue* CallQueue();
void SetChangeNotifier(IquvChangeNotifier* notifier);
IquvChangeNotifier* ChangeNotifier();

// The operation a call class publishes: 1 -> 1, 2 -> 0, 3 -> 2, 17 -> 4;
// kNoOperation for every other class.
inline constexpr int32_t kNoOperation = -1;
int32_t OperationOfCallClass(uint8_t callClass);

}  // namespace quv
