#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "transport/quvConn.h"

namespace quv::testing {

// A connection over memory: reads take the bytes fed to it, writes collect.
// When the fed bytes run out a read gives kConnGone once the peer counts as
// closed, else kConnNothingWithinWait; a given test clock then moves on by
// the wait, as a real wait would. One thread.
class TBufferConn final : public TCustomConn {
 public:
  explicit TBufferConn(std::string_view incoming = {}, TManualClock* clock = nullptr)
      : FClock(clock) {
    Feed(incoming);
  }
  explicit TBufferConn(const std::vector<uint8_t>& incoming, TManualClock* clock = nullptr)
      : FClock(clock) {
    Feed(incoming);
  }

  void Feed(std::string_view bytes) {
    FIncoming.insert(FIncoming.end(), bytes.begin(), bytes.end());
  }
  void Feed(const std::vector<uint8_t>& bytes) {
    FIncoming.insert(FIncoming.end(), bytes.begin(), bytes.end());
  }
  void SetPeerClosed(bool closed) { FPeerClosed = closed; }

  int32_t Read(void* buffer, int32_t count) override {
    const auto available = static_cast<int32_t>(FIncoming.size() - FReadPos);
    if (available == 0) {
      if (FPeerClosed) return kConnGone;
      if (FClock) FClock->Advance(static_cast<uint32_t>(FWait));
      return kConnNothingWithinWait;
    }
    const int32_t n = std::min(count, available);
    std::memcpy(buffer, FIncoming.data() + FReadPos, static_cast<std::size_t>(n));
    FReadPos += static_cast<std::size_t>(n);
    return n;
  }
  int32_t Write(const void* buffer, int32_t count) override {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    FWritten.insert(FWritten.end(), bytes, bytes + count);
    return count;
  }
  void ResetConnection(int32_t) override { ++FResets; }
  int32_t SetTimeout(int32_t ms) override { return std::exchange(FWait, ms); }
  void Log(std::string_view text) override { FLogLines.emplace_back(text); }
  void Lock() override { ++FLockDepth; }
  void Unlock() override { --FLockDepth; }
  void Close() override {}
  void AfterFlush() override { ++FFlushes; }

  const std::vector<uint8_t>& Written() const { return FWritten; }
  std::string WrittenText() const { return std::string(FWritten.begin(), FWritten.end()); }
  void ClearWritten() { FWritten.clear(); }
  std::size_t Unread() const { return FIncoming.size() - FReadPos; }
  int32_t Wait() const { return FWait; }
  int32_t Resets() const { return FResets; }
  int32_t LockDepth() const { return FLockDepth; }
  int32_t Flushes() const { return FFlushes; }
  const std::vector<std::string>& LogLines() const { return FLogLines; }

 private:
  TManualClock* FClock;
  std::vector<uint8_t> FIncoming;
  std::size_t FReadPos = 0;
  bool FPeerClosed = true;
  std::vector<uint8_t> FWritten;
  int32_t FWait = 0;
  int32_t FResets = 0;
  int32_t FLockDepth = 0;
  int32_t FFlushes = 0;
  std::vector<std::string> FLogLines;
};

// What a faulty read or write returns from its turn on.
enum class TFault {
  Nothing,  // once: kConnNothingWithinWait (a read) or 0 bytes (a write)
  Gone,     // kConnGone until the connection is reset
  Stall,    // nothing, every time, until the connection is reset
};

// Wraps a connection and makes its Nth read or write (counted from 1) fail.
// Waits that come back empty move a given test clock on by the wait. "*inner"
// must outlive the wrapper. One thread.
class TFaultConn final : public TCustomConn {
 public:
  explicit TFaultConn(TCustomConn& inner, TManualClock* clock = nullptr)
      : FInner(inner), FClock(clock) {}

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
  void Close() override { FInner.Close(); }
  void AfterFlush() override { FInner.AfterFlush(); }

  int32_t Resets() const { return FResets; }
  int32_t Reads() const { return FReads; }
  int32_t Writes() const { return FWrites; }

 private:
  enum class TOutcome { Pass, Nothing, Gone };
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
      case TOutcome::Nothing:
        break;
    }
    if (FClock) FClock->Advance(static_cast<uint32_t>(FWait));
    return nothing;
  }

  static TOutcome Turn(TPlan& plan, int32_t count) {
    if (plan.At != 0 && count == plan.At)
      plan.Sticky = plan.Fault != TFault::Nothing;
    else if (!plan.Sticky)
      return TOutcome::Pass;
    return plan.Fault == TFault::Gone ? TOutcome::Gone : TOutcome::Nothing;
  }

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
