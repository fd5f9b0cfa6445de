#pragma once

#include <cstdint>
#include <string>

#include "platform/Sync.h"
#include "transport/quvConn.h"
#include "transport/quvScktComp.h"

namespace quv {

// The server's connection over an accepted socket, which it owns. Reads and
// writes wait with poll up to the timeout; socket errors count as a gone
// connection. A server cannot reopen a client's connection, so
// ResetConnection and Close shut it down for good. Used by one thread at a
// time (Lock brackets the package's spans), apart from Interrupt, which any
// thread may call.
class TServerConn final : public TCustomConn {
 public:
  TServerConn(int handle, std::string peer);

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  void ResetConnection(int32_t timeoutMs) override;
  int32_t SetTimeout(int32_t ms) override;
  void Lock() override { FLock.Enter(); }
  void Unlock() override { FLock.Leave(); }
  bool TryLock() override { return FLock.TryEnter(); }
  void Close() override { Interrupt(); }

  // Waits up to `ms` for something to read: 1 when something is there,
  // kConnNothingWithinWait, or kConnGone.
  int32_t WaitReadable(int32_t ms);
  // Ends every wait and transfer; the peer sees the connection closed.
  void Interrupt() { FSocket.Interrupt(); }
  // The client's address and port, "a.b.c.d:port".
  const std::string& Peer() const { return FPeer; }

 private:
  TServerClientWinSocket FSocket;
  TCriticalSection FLock;
  std::string FPeer;
};

}  // namespace quv
