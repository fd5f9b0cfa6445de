#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "platform/Exception.h"
#include "transport/quvConn.h"

namespace quv::testing {

enum class TFaultOp { Read, Write, Any };

// The fault result that raises Exception("injected fault") instead of returning.
inline constexpr int32_t kRaiseFault = std::numeric_limits<int32_t>::min();

// Wraps a real connection and fails its Nth read or write (counted from 1
// over the operations of kind `op`): that operation returns `result` (for
// example kConnNothingWithinWait or kConnGone) or raises for kRaiseFault.
// With `sticky` every later operation of that kind fails the same way.
// "*inner" must outlive the wrapper. Used by one thread at a time.
class TFaultyConn final : public TCustomConn {
 public:
  TFaultyConn(TCustomConn& inner, TFaultOp op, int failAt, int32_t result, bool sticky = false)
      : FInner(inner), FOp(op), FFailAt(failAt), FResult(result), FSticky(sticky) {}

  int32_t Read(void* buffer, int32_t count) override {
    return Hit(TFaultOp::Read) ? Fail() : FInner.Read(buffer, count);
  }
  int32_t Write(const void* buffer, int32_t count) override {
    return Hit(TFaultOp::Write) ? Fail() : FInner.Write(buffer, count);
  }
  void ResetConnection(int32_t timeoutMs) override {
    ++FResets;
    FInner.ResetConnection(timeoutMs);
  }
  int32_t SetTimeout(int32_t ms) override { return FInner.SetTimeout(ms); }
  void Log(std::string_view text) override { FInner.Log(text); }
  void Lock() override { FInner.Lock(); }
  void Unlock() override { FInner.Unlock(); }
  bool TryLock() override { return FInner.TryLock(); }
  void Close() override { FInner.Close(); }
  void AfterFlush() override { FInner.AfterFlush(); }

  // Operations of the chosen kind so far, and whether the fault was injected.
  int Operations() const { return FCount; }
  bool Injected() const { return FCount >= FFailAt; }
  int Resets() const { return FResets; }

 private:
  bool Hit(TFaultOp kind) {
    if (FOp != TFaultOp::Any && FOp != kind) return false;
    ++FCount;
    return FCount == FFailAt || (FSticky && FCount > FFailAt);
  }
  int32_t Fail() const {
    if (FResult == kRaiseFault) throw Exception("injected fault");
    return FResult;
  }

  TCustomConn& FInner;
  TFaultOp FOp;
  int FFailAt;
  int32_t FResult;
  bool FSticky;
  int FCount = 0;
  int FResets = 0;
};

}  // namespace quv::testing
