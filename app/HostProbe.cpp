#include "app/HostProbe.h"

#include "transport/quvScktComp.h"

namespace quv {

void TTcpProbe::Probe(const std::string& address) {
  TClientSocket socket;
  SetServerAddress(socket, address);
  socket.SetConnectTimeout(FTimeoutMs);
  socket.Open();
}

}  // namespace quv
