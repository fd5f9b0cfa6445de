#include "app/MetricsServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace quv {

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

bool ParsePort(std::string_view text, uint16_t& port, std::string& problem) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text.size() > 5 || error != std::errc() || end != text.data() + text.size() ||
      value > 65535) {
    problem = "the port must be a number from 0 to 65535, not \"" + std::string(text) + "\"";
    return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

std::string MetricsEndpointText(const TMetricsEndpoint& endpoint) {
  const bool v6 = endpoint.Host.find(':') != std::string::npos;
  return (v6 ? "[" + endpoint.Host + "]" : endpoint.Host) + ":" + std::to_string(endpoint.Port);
}

bool ParseMetricsEndpoint(std::string_view text, TMetricsEndpoint& endpoint,
                          std::string& problem) {
  TMetricsEndpoint read;
  std::string_view port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close == 1 || text.substr(close + 1, 1) != ":") {
      problem = "an address in brackets is written [ADDR]:PORT, not \"" + std::string(text) + "\"";
      return false;
    }
    read.Host = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    if (text.substr(0, colon).find(':') != std::string_view::npos) {
      problem = "an IPv6 address goes in brackets: [ADDR]:PORT";
      return false;
    }
    if (colon > 0) read.Host = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
  }
  if (!ParsePort(port, read.Port, problem)) return false;
  endpoint = read;
  return true;
}

TMetricsServer::TMetricsServer(const TFleetMetrics& metrics, const TMetricsEndpoint& endpoint,
                               TLimits limits)
    : FServer(std::make_unique<httplib::Server>()), FEndpoint(endpoint) {
  const std::size_t threads = limits.Threads;
  FServer->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  FServer->set_read_timeout(limits.TimeoutSeconds, 0);
  FServer->set_write_timeout(limits.TimeoutSeconds, 0);
  FServer->set_keep_alive_timeout(limits.TimeoutSeconds);
  FServer->set_payload_max_length(64 * 1024);
  // httplib's default shares the port with any other listener (SO_REUSEPORT),
  // so that a second viewer on the same port would take half the scrapes;
  // reusing an address in TIME_WAIT is all a restart needs.
  FServer->set_socket_options([](socket_t socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  FServer->Get("/metrics", [&metrics](const httplib::Request&, httplib::Response& response) {
    response.set_content(metrics.Render(), kContentType);
  });
  errno = 0;
  int port = endpoint.Port;
  if (endpoint.Port == 0)
    port = FServer->bind_to_any_port(endpoint.Host);
  else if (!FServer->bind_to_port(endpoint.Host, endpoint.Port))
    port = -1;
  if (port < 0) {
    const int cause = errno;
    throw EMetricsServerError("cannot listen on " + MetricsEndpointText(endpoint) + ": " +
                              (cause != 0 ? std::strerror(cause) : "not a usable address"));
  }
  FEndpoint.Port = static_cast<uint16_t>(port);
  FThread = std::thread([this] {
    FServer->listen_after_bind();
    FListenEnded = true;
  });
  // Stop can end the accepting loop only once it runs.
  while (!FServer->is_running() && !FListenEnded) std::this_thread::yield();
}

TMetricsServer::~TMetricsServer() { Stop(); }

void TMetricsServer::Stop() {
  if (!FThread.joinable()) return;
  FServer->stop();
  FThread.join();
}

}  // namespace quv
