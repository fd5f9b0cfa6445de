#include "client/quvExecuteThread.h"

#include <algorithm>

#include "client/Activities.h"
#include "client/quvClient.h"
#include "client/quvClientRecordset.h"
#include "client/quvExecCommand.h"
#include "client/quvMainThread.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "transport/quvCallKinds.h"
#include "transport/quvConPool.h"

namespace quv {

namespace {

constexpr uint32_t kWaitSliceMs = 5000;
// How often a wait for a stopped thread interrupts its call again.
constexpr uint32_t kInterruptRoundMs = 100;
constexpr const char* kCancelMethod = "quvsystem.tasks.cancel";
constexpr std::string_view kQueueFullMessage =
    "Não é possível enfileirar mais tarefas, pois não há mais espaço"_cp;
constexpr std::string_view kCancelledMessage = "A requisição foi cancelada."_cp;

}  // namespace

TTask::TTask(TquvQueuedCall call)
    : ActivityId(Activities().Add(call.TaskName)),
      RequestNumber(call.Header.RequestNumber),
      Owner(call.Recordset),
      Header(call.Header),
      CallKind(call.CallKind),
      Parameters(std::move(call.Parameters)),
      Result(std::make_unique<TquvRecordset>()),
      Host(std::move(call.Host)),
      Context(std::move(call.Context)),
      FreeOwner(call.FreeOwner) {}

TTask::~TTask() { Activities().Remove(ActivityId); }

TquvExecuteThread::TquvExecuteThread(std::string channel) : FChannel(std::move(channel)) {}

TquvExecuteThread::~TquvExecuteThread() {
  Stop();
  WaitFor();
}

void TquvExecuteThread::Submit(TquvQueuedCall call) {
  CancelByOwner(*call.Recordset);
  auto task = std::make_unique<TTask>(std::move(call));
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    if (FQueue.size() >= kQueueCapacity) throw Exception(std::string(kQueueFullMessage));
    FQueue.push_back(TEntry{TState::Pending, std::move(task), false});
  }
  FWork.SetEvent();
}

void TquvExecuteThread::CancelByOwner(TquvClientRecordset& owner) {
  std::lock_guard<TCriticalSection> guard(FLock);
  auto cancel = [&owner](TEntry& entry) {
    if (!entry.Task || entry.Task->Owner != &owner) return;
    entry.State = TState::Cancelled;
    entry.Task->Owner = nullptr;
    owner.ForgetCall();
  };
  cancel(FCurrent);
  for (TEntry& entry : FQueue) cancel(entry);
}

void TquvExecuteThread::CancelRequest(int32_t requestNumber) {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (FCurrent.State == TState::Pending && FCurrent.Task->RequestNumber == requestNumber) {
    // The dequeue of the next call waits until the server has been told.
    try {
      TVariant row;
      // The method's parameter is a text field.
      ExecMethodValues(kCancelMethod, {""}, {std::to_string(requestNumber)}, row,
                       FCurrent.Task->Host);
    } catch (const std::exception& e) {
      OutputDebugString(std::string("quvclient: cancel failed: ") + e.what());
    }
    return;
  }
  for (TEntry& entry : FQueue) {
    if (entry.State != TState::None && entry.Task->RequestNumber == requestNumber) {
      entry.CancelFlag = true;
      return;
    }
  }
}

void TquvExecuteThread::Stop() {
  Terminate();
  FStop.SetEvent();
  FWork.SetEvent();
  InterruptCall();
}

void TquvExecuteThread::InterruptCall() { DefaultPool().InterruptUsedBy(ThreadId()); }

bool TquvExecuteThread::WaitForEnd(uint32_t timeoutMs) {
  const uint32_t start = Clock().TickCount();
  for (;;) {
    const uint32_t elapsed = Clock().TickCount() - start;
    const uint32_t slice = std::min(kInterruptRoundMs, timeoutMs - std::min(elapsed, timeoutMs));
    if (WaitHandlingMessages(FEnded, slice)) return true;
    if (elapsed >= timeoutMs) return false;
    // A call the thread began just after Stop's interrupt is cut off now.
    InterruptCall();
  }
}

std::size_t TquvExecuteThread::Waiting() {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FQueue.size();
}

void TquvExecuteThread::Execute() {
  // Queued calls yield to the caller's own work; see doc/remote-call.md for
  // why the priority is not raised again when the thread is stopped.
  LowerCurrentThreadPriority();
  while (!Terminated()) {
    if (!FWork.WaitFor(kWaitSliceMs)) continue;
    if (FStop.WaitFor(0)) break;
    FWork.ResetEvent();
    WorkOffQueue();
  }
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    FQueue.clear();
  }
  FEnded.SetEvent();
}

void TquvExecuteThread::WorkOffQueue() {
  const TBusySender busy;
  while (!Terminated()) {
    const TState state = Dequeue();
    if (state == TState::Empty) return;
    if (state == TState::Pending) {
      Carry(*FCurrent.Task);
      {
        std::lock_guard<TCriticalSection> guard(FLock);
        if (FCurrent.State == TState::Pending) FCurrent.State = TState::Carried;
      }
      // A stopped thread delivers nothing: it does not wait for the main
      // thread, which may be waiting for it to end.
      if (!Terminated()) {
        FDelivering.store(1);
        MainThread().Send([this] {
          Deliver();
          FDelivering.store(0);  // no longer waiting for the main thread
        });
        FDelivering.store(0);
      }
    }
    FreeCurrent();
  }
}

TquvExecuteThread::TState TquvExecuteThread::Dequeue() {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (FQueue.empty()) return TState::Empty;
  FCurrent = std::move(FQueue.front());
  FQueue.pop_front();
  return FCurrent.State;
}

void TquvExecuteThread::Carry(TTask& task) {
  TquvCommandHeader header = task.Header;
  std::string errorText;
  const TquvCallProgress progress = [this, &task](int32_t percent) { CheckCancel(task, percent); };
  ExecCommand(task.Host, task.Context.get(), header, progress, *task.Result, errorText,
              task.Parameters.get(), task.CallKind);
  std::lock_guard<TCriticalSection> guard(FLock);
  task.Header = header;
  task.ErrorText = std::move(errorText);
}

void TquvExecuteThread::CheckCancel(TTask& task, int32_t percent) {
  bool cancelled = false;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    cancelled = FCurrent.CancelFlag;
  }
  if (cancelled && percent == 0) throw Exception(std::string(kCancelledMessage));
  Activities().ReportProgress(task.ActivityId, percent);
}

void TquvExecuteThread::Deliver() {
  if (Terminated()) return;
  TquvClientRecordset* owner = nullptr;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    if (FCurrent.State != TState::Carried) return;
    // Taken, so that cancelling the owner from now on does not count it.
    std::swap(owner, FCurrent.Task->Owner);
  }
  if (owner == nullptr) return;
  // A call cancelled by its request number is applied too, as the failure it
  // is, so that its recordset stops waiting for it.
  try {
    owner->ApplyReply(FCurrent.Task->Header, FCurrent.Task->Result.get(), FCurrent.Task->ErrorText);
  } catch (const std::exception& e) {
    OutputDebugString(std::string("quvclient: applying a queued reply failed: ") + e.what());
  }
  // Only now, since applying the reply still uses the owner. Freeing it
  // detaches it from this thread, which does not wait for a delivering thread.
  if (FCurrent.Task->FreeOwner) delete owner;
}

void TquvExecuteThread::FreeCurrent() {
  std::unique_ptr<TTask> task;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    task = std::move(FCurrent.Task);
    FCurrent = TEntry();
  }
}

}  // namespace quv
