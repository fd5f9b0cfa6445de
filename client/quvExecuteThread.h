#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "client/quvCallSeams.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace quv {

// One queued call, owned by its queue entry. Its activity lives as long as
// the task.
struct TTask {
  explicit TTask(TquvQueuedCall call);
  ~TTask();
  TTask(const TTask&) = delete;
  TTask& operator=(const TTask&) = delete;

  const int32_t ActivityId;
  const int32_t RequestNumber;
  TquvClientRecordset* Owner;  // none once cancelled or handed its reply
  TquvCommandHeader Header;    // the request's; the reply's once carried
  const uint8_t CallKind;
  const std::unique_ptr<TquvRecordset> Parameters;  // or none
  const std::unique_ptr<TquvRecordset> Result;
  const std::string Host;
  std::string ErrorText;
  const std::unique_ptr<TquvTagBag> Context;  // or none
  const bool FreeOwner;                       // the owner is freed once its reply has been applied
};

// A background thread that carries queued calls one at a time and applies
// each reply on the main thread. Shared by the recordsets of one channel
// name, counted by the registry. Thread-safe.
class TquvExecuteThread final : public TThread {
 public:
  static constexpr std::size_t kQueueCapacity = 100;

  explicit TquvExecuteThread(std::string channel);
  ~TquvExecuteThread() override;

  const std::string& Channel() const { return FChannel; }
  // The recordsets using the thread; changed under the registry's lock only.
  int32_t References = 0;

  // Cancels the calls of the call's recordset, then queues the call and wakes
  // the thread. A full queue raises "Não é possível enfileirar mais tarefas,
  // pois não há mais espaço".
  void Submit(TquvQueuedCall call);
  // Detaches the calls of `owner`, which forgets each: skipped when waiting,
  // carried without delivery when running.
  void CancelByOwner(TquvClientRecordset& owner);
  // The call in progress with `requestNumber` is cancelled on its server
  // (under this thread's lock); else the first waiting one is flagged, so
  // that it fails at its next cancel check.
  void CancelRequest(int32_t requestNumber);
  // Tells the thread to stop and interrupts the call it carries, whose reply
  // a stopped thread would not deliver; what is still queued is dropped when
  // it ends.
  void Stop();
  // Waits up to `timeoutMs` for a stopped thread to end (WaitHandlingMessages),
  // interrupting again every round a call it may have begun meanwhile.
  bool WaitForEnd(uint32_t timeoutMs);
  // Whether a reply is being applied on the main thread right now.
  bool Delivering() const { return FDelivering.load() != 0; }
  // Calls queued and not yet taken up (for tests).
  std::size_t Waiting();

 protected:
  void Execute() override;

 private:
  // Entry states; 0 frees the current task.
  enum class TState : uint8_t { None = 0, Pending = 1, Carried = 3, Cancelled = 4, Empty = 5 };
  struct TEntry {
    TState State = TState::None;
    std::unique_ptr<TTask> Task;
    bool CancelFlag = false;
  };

  void WorkOffQueue();
  // Interrupts the connection of the default pool this thread uses, if any.
  void InterruptCall();
  TState Dequeue();
  void Carry(TTask& task);
  void CheckCancel(TTask& task, int32_t percent);
  void Deliver();
  void FreeCurrent();

  const std::string FChannel;
  TEvent FWork;
  TEvent FStop;
  TEvent FEnded;
  TCriticalSection FLock;  // guards FCurrent and FQueue
  TEntry FCurrent;
  std::deque<TEntry> FQueue;
  std::atomic<int32_t> FDelivering{0};
};

}  // namespace quv
