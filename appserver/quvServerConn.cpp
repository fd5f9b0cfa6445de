#include "appserver/quvServerConn.h"

namespace quv {

TServerConn::TServerConn(int handle, std::string peer) : FSocket(handle), FPeer(std::move(peer)) {
  // A failed transfer means the client is gone; the package layer says so.
  FSocket.OnErrorEvent = [](TCustomWinSocket&, TErrorEvent, int& code) { code = 0; };
  FSocket.SetNoDelay(true);
}

int32_t TServerConn::Read(void* buffer, int32_t count) { return FSocket.ReceiveBuf(buffer, count); }

int32_t TServerConn::Write(const void* buffer, int32_t count) {
  return FSocket.SendBuf(buffer, count);
}

void TServerConn::ResetConnection(int32_t) { Interrupt(); }

int32_t TServerConn::SetTimeout(int32_t ms) {
  const int32_t old = FSocket.Timeout();
  FSocket.SetTimeout(ms);
  return old;
}

int32_t TServerConn::WaitReadable(int32_t ms) {
  const int32_t old = SetTimeout(ms);
  const int32_t result = FSocket.ReceiveBuf(nullptr, -1);
  SetTimeout(old);
  return result;
}

}  // namespace quv
