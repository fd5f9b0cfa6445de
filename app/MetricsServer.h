#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "app/FleetMetrics.h"
#include "platform/Exception.h"

namespace httplib {
class Server;
}

namespace quv {

// Where the metrics are served.
struct TMetricsEndpoint {
  std::string Host = "127.0.0.1";
  uint16_t Port = 0;  // 0: a free port
};

// Reads "ADDR:PORT", ":PORT" or "PORT" (address 127.0.0.1); an IPv6
// address goes in brackets ("[::1]:9300"). The port is a number from 0 to
// 65535. False, with `problem` saying why, for any other text.
bool ParseMetricsEndpoint(std::string_view text, TMetricsEndpoint& endpoint,
                          std::string& problem);

// "127.0.0.1:9300", "[::1]:9300".
std::string MetricsEndpointText(const TMetricsEndpoint& endpoint);

// An endpoint that cannot be listened on.
class EMetricsServerError : public Exception {
 public:
  using Exception::Exception;
};

// Serves `GET /metrics` (the exposition text of `metrics`) and 404
// elsewhere, over HTTP on threads of its own: one accepts, a fixed number
// serve, each connection bounded by read and write time-outs, so that a
// slow or silent scraper holds one of them for a while and nothing else.
// Rendering takes only a copy of the metrics under their lock; the refresh
// never waits on a scraper. Listens from construction (raises
// EMetricsServerError, naming the endpoint and the reason, when it cannot)
// until Stop or destruction, which stop accepting, let the connections in
// hand finish (each within its time-outs) and join. `metrics` must outlive it.
class TMetricsServer final {
 public:
  struct TLimits {
    std::size_t Threads = 4;
    int TimeoutSeconds = 5;  // for reading a request and for writing its reply
  };

  TMetricsServer(const TFleetMetrics& metrics, const TMetricsEndpoint& endpoint)
      : TMetricsServer(metrics, endpoint, TLimits{}) {}
  TMetricsServer(const TFleetMetrics& metrics, const TMetricsEndpoint& endpoint, TLimits limits);
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  // Where it listens (with the port chosen when 0 was asked).
  const TMetricsEndpoint& Endpoint() const { return FEndpoint; }
  void Stop();

 private:
  std::unique_ptr<httplib::Server> FServer;
  TMetricsEndpoint FEndpoint;
  std::atomic<bool> FListenEnded{false};
  std::thread FThread;
};

}  // namespace quv
