#pragma once

#include <cstdint>
#include <string>

#include "platform/FileHandle.h"
#include "platform/Thread.h"
#include "appserver/quvLocatorAnswer.h"

namespace quv {

// Answers locator datagrams on a thread of its own: each request for one of
// the server's libraries gets one answer datagram back to its sender; any
// other datagram gets none. Owned and stopped by the server; `answer` must
// outlive it. Stop may be called from any thread but its own.
class TLocatorResponder final : public TThread {
 public:
  // Binds a datagram socket to `address`:`port` (numeric IPv4; port 0 picks
  // a free one) with address reuse, so that servers on one machine can share
  // the port (a broadcast reaches them all). Raises EOSError. Start runs it.
  TLocatorResponder(const std::string& address, uint16_t port, const TLocatorAnswer& answer);
  ~TLocatorResponder() override;

  uint16_t Port() const { return FPort; }
  // Ends the thread and joins it.
  void Stop();

 protected:
  void Execute() override;

 private:
  void AnswerOne();

  const TLocatorAnswer& FAnswer;
  TAutoCloseHandle FSocket;
  TAutoCloseHandle FWakeRead;  // Stop writes to the other end
  TAutoCloseHandle FWakeWrite;
  uint16_t FPort = 0;
};

}  // namespace quv
