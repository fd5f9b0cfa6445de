#pragma once

// The raw counterpart of a one-row call: the bytes of its package, and the
// fastest TCP ping-pong of the same byte counts over a kept-open loopback
// socket.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/RawPeer.h"
#include "server/common/quvRecordset.h"
#include "transport/quvCallExchange.h"
#include "transport/quvpack.h"

namespace quv::bench {

inline constexpr int64_t kAckBytes = 6;

// The bytes of a call package of `method` with `context` and `parameters`,
// as the writer puts them on the wire.
inline int64_t CallPackageBytes(const std::string& method, const std::string& context,
                                TquvRecordset& parameters) {
  TMemoryStream wire;
  TquvPackage package(wire);
  TquvCommandHeader header;
  header.MethodName = method;
  WriteCallRequest(package, header, context, [&parameters](TquvPackageWriter& writer) {
    writer.WriteCommandAsRecordset(&parameters, false, false);
  });
  package.WriteInteger(pack_dt_eof);
  package.Flush(0);
  return wire.Size();
}

// Per iteration one write each way: the request of `package` bytes with the
// acknowledgement of the previous reply in front of it, then the
// acknowledgement and a reply as long as the request. A call moves the same
// bytes in more writes, so this is its floor.
inline void RawCallPingPong(benchmark::State& state, int64_t package) {
  const int64_t exchange = kAckBytes + package;
  TRawPeer peer(exchange, exchange);
  std::vector<uint8_t> request(static_cast<std::size_t>(exchange), 'q');
  std::vector<uint8_t> reply(static_cast<std::size_t>(exchange));
  for (auto _ : state) {
    SendAll(peer.Client, request.data(), exchange);
    ReceiveAll(peer.Client, reply.data(), exchange);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace quv::bench
