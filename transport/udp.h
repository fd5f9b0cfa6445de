#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "platform/FileHandle.h"

namespace quv {

// How long Receive waits for a datagram unless told otherwise, in ms.
inline constexpr int32_t kUdpReceiveWaitMs = 5000;
// The most payload bytes a received datagram keeps.
inline constexpr int32_t kUdpMaxPayload = 512;

// One datagram to send or one received.
struct TUdpMsg {
  bool Resolved = false;  // Peer holds the address to use
  std::string Data;       // the payload
  sockaddr_in Peer{};     // the peer's IPv4 socket address
  std::string Host;       // the peer as text; empty: the broadcast address 255.255.255.255
};

// A datagram socket with broadcast allowed that sends to one port and
// receives the answers on the same socket. Owned by its user; one thread at
// a time.
class TUdp final {
 public:
  // A wait of 0 or less is the default one. Raises ESocketError when the
  // socket cannot be made.
  explicit TUdp(uint16_t port, int32_t receiveWaitMs = kUdpReceiveWaitMs);
  TUdp(const TUdp&) = delete;
  TUdp& operator=(const TUdp&) = delete;

  // Sends `message` to its peer at Port(), resolving Host first when the
  // message is not resolved yet. A host text that gives no IPv4 address
  // raises "Não foi possível converter o endereço IP " + the text; a failed
  // send raises ESocketError.
  void Send(TUdpMsg& message);
  // The next datagram within the wait, into `message` (resolved, with the
  // sender's address); false when none came. A failed receive raises
  // "Error reading from socket".
  bool Receive(TUdpMsg& message);

  uint16_t Port() const { return FPort; }
  int32_t ReceiveWait() const { return FReceiveWait; }
  // 0 or less: the default wait.
  void SetReceiveWait(int32_t ms) { FReceiveWait = ms > 0 ? ms : kUdpReceiveWaitMs; }

 private:
  void Resolve(TUdpMsg& message) const;

  TAutoCloseHandle FHandle;
  uint16_t FPort;
  int32_t FReceiveWait = kUdpReceiveWaitMs;
};

}  // namespace quv
