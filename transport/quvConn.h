#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Streams.h"

namespace quv {

// Transfer counts of a connection besides the number of bytes moved.
inline constexpr int32_t kConnNothingWithinWait = -1;  // nothing arrived within the wait
inline constexpr int32_t kConnGone = -2;               // the connection is closed or gone

// The abstract byte stream a package runs over: reads wait up to the timeout
// set with SetTimeout and return a byte count, kConnNothingWithinWait or
// kConnGone; writes return a byte count or kConnGone. Seeking does nothing and
// gives 0. Each connection is used by one thread at a time unless its Lock
// says otherwise.
class TCustomConn : public TStream {
 public:
  void SetSize(int64_t newSize) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  // Drops and reopens the underlying connection after an error.
  virtual void ResetConnection(int32_t timeoutMs) = 0;
  // Sets the wait of each blocking read and returns the previous one.
  virtual int32_t SetTimeout(int32_t ms) = 0;
  // A diagnostic line from the package layer; ignored by default.
  virtual void Log(std::string_view text);
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  // Enters the lock and succeeds unless a descendant can fail to.
  virtual bool TryLock();
  // Gives the connection up.
  virtual void Close() = 0;
  // Called after each flush of a package; does nothing by default.
  virtual void AfterFlush();
};

}  // namespace quv
