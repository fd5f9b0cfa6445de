#include "app/HostProbe.h"

#include "transport/quvScktComp.h"

namespace quv {

void TTcpProbe::Probe(const std::string& address) {
  ProbeConnect(ServerTarget(address), FTimeoutMs);
}

}  // namespace quv
