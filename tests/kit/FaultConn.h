#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Exception.h"
#include "transport/quvConn.h"

namespace quv::testing {

// What a faulty read or write returns from its turn on.
enum class TFault {
  Nothing,  // once: kConnNothingWithinWait (a read) or 0 bytes (a write)
  Gone,     // kConnGone until the connection is reset
  Stall,    // nothing, every time, until the connection is reset
  Raise,    // once: raises Exception("injected fault")
};

// Wraps a connection (in memory or real) and makes its Nth read or write,
// counted from 1 from the time the fault is planned, fail. Waits that come
// back empty move a given test clock on by the wait, as a real wait would.
// "*inner" must outlive the wrapper, unless the wrapper owns it. One thread.
class TFaultConn final : public TCustomConn {
 public:
  explicit TFaultConn(TCustomConn& inner, TManualClock* clock = nullptr)
      : FInner(inner), FClock(clock) {}
  explicit TFaultConn(std::unique_ptr<TCustomConn> inner, TManualClock* clock = nullptr)
      : FOwned(std::move(inner)), FInner(*FOwned), FClock(clock) {}
  ~TFaultConn() override {
    if (OnDestroy) OnDestroy(*this);
  }

  // Called as the wrapper goes, so that a test can read the counts of a
  // wrapper that another owner frees.
  std::function<void(const TFaultConn&)> OnDestroy;

  void FailRead(int32_t nth, TFault fault) { FReadFault = {FReads + nth, fault}; }
  void FailWrite(int32_t nth, TFault fault) { FWriteFault = {FWrites + nth, fault}; }

  int32_t Read(void* buffer, int32_t count) override {
    return Apply(FReadFault, FReads, kConnNothingWithinWait,
                 [&] { return FInner.Read(buffer, count); });
  }
  int32_t Write(const void* buffer, int32_t count) override {
    return Apply(FWriteFault, FWrites, 0, [&] { return FInner.Write(buffer, count); });
  }
  void ResetConnection(int32_t timeoutMs) override {
    FReadFault.Sticky = FWriteFault.Sticky = false;
    FReadFault.At = FWriteFault.At = 0;
    ++FResets;
    FInner.ResetConnection(timeoutMs);
  }
  int32_t SetTimeout(int32_t ms) override {
    FWait = ms;
    return FInner.SetTimeout(ms);
  }
  void Log(std::string_view text) override { FInner.Log(text); }
  void Lock() override { FInner.Lock(); }
  void Unlock() override { FInner.Unlock(); }
  bool TryLock() override { return FInner.TryLock(); }
  void Close() override { FInner.Close(); }
  void AfterFlush() override { FInner.AfterFlush(); }

  int32_t Resets() const { return FResets; }
  int32_t Reads() const { return FReads; }
  int32_t Writes() const { return FWrites; }

 private:
  enum class TOutcome { Pass, Nothing, Gone, Raise };
  struct TPlan {
    int32_t At = 0;  // 0: no fault planned
    TFault Fault = TFault::Nothing;
    bool Sticky = false;
  };

  // The result of the next operation under `plan`: `pass` when no fault is
  // due, else the fault's, an empty one after a wait.
  template <class F>
  int32_t Apply(TPlan& plan, int32_t& operations, int32_t nothing, F&& pass) {
    switch (Turn(plan, ++operations)) {
      case TOutcome::Pass:
        return pass();
      case TOutcome::Gone:
        return kConnGone;
      case TOutcome::Raise:
        throw Exception("injected fault");
      case TOutcome::Nothing:
        break;
    }
    if (FClock) FClock->Advance(static_cast<uint32_t>(FWait));
    return nothing;
  }

  static TOutcome Turn(TPlan& plan, int32_t count) {
    if (plan.At != 0 && count == plan.At)
      plan.Sticky = plan.Fault == TFault::Gone || plan.Fault == TFault::Stall;
    else if (!plan.Sticky)
      return TOutcome::Pass;
    switch (plan.Fault) {
      case TFault::Gone:
        return TOutcome::Gone;
      case TFault::Raise:
        return TOutcome::Raise;
      default:
        return TOutcome::Nothing;
    }
  }

  std::unique_ptr<TCustomConn> FOwned;
  TCustomConn& FInner;
  TManualClock* FClock;
  TPlan FReadFault;
  TPlan FWriteFault;
  int32_t FReads = 0;
  int32_t FWrites = 0;
  int32_t FWait = 0;
  int32_t FResets = 0;
};

}  // namespace quv::testing
