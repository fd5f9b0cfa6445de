#pragma once

#include <cstdint>
#include <string>

#include "transport/quvConn.h"

namespace quv {

class TConnectionItem;
using TConnHandle = TConnectionItem*;

// The process-wide connection functions a TClientConn reaches the pool
// through. Every entry is set by whoever installs the table.
struct TConnFunctions {
  TConnHandle (*Open)(const std::string& address, bool exclusive) = nullptr;  // null: none
  void (*Close)(TConnHandle handle) = nullptr;
  int32_t (*Write)(TConnHandle handle, const void* buffer, int32_t count) = nullptr;
  int32_t (*Read)(TConnHandle handle, void* buffer, int32_t count) = nullptr;
  int32_t (*SetTimeout)(TConnHandle handle, int32_t ms) = nullptr;  // returns the old wait
  void (*Reset)(TConnHandle handle) = nullptr;
  void (*SetPoolSize)(int32_t idleLimit) = nullptr;
  void (*SetEnabled)(bool enabled) = nullptr;
  bool (*GetEnabled)() = nullptr;
};

// Replaces the table; thread-safe.
void SetConnFunctions(const TConnFunctions& functions);
// A copy of the table; thread-safe.
TConnFunctions ConnFunctions();

// A connection that borrows a pooled connection to one server address for
// its lifetime and gives it back on Close or destruction. Used by one
// thread at a time; Lock and Unlock do nothing.
class TClientConn final : public TCustomConn {
 public:
  // Raises Exception when server access is disabled or no connection comes
  // back; socket errors of the connect pass through unchanged.
  TClientConn(const std::string& address, bool exclusive);
  ~TClientConn() override;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  void ResetConnection(int32_t timeoutMs) override;
  int32_t SetTimeout(int32_t ms) override;
  void Lock() override {}
  void Unlock() override {}
  bool TryLock() override { return true; }
  void Close() override;

  TConnHandle Handle() const { return FHandle; }

 private:
  TConnFunctions FFunctions;
  TConnHandle FHandle = nullptr;
};

}  // namespace quv
