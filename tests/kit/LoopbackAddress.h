#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace quv::testing {

// The IPv4 address 127.0.0.1:`port` (0: any free port when bound).
inline sockaddr_in LoopbackAddress(uint16_t port = 0) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

}  // namespace quv::testing
