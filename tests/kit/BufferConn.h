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

}  // namespace quv::testing
