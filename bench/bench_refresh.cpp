// One refresh over 50 hosts that never answer, beside the time the same
// refresh would take probing them one after the other (the sum of their
// connect time-outs). The hosts are loopback listeners whose accept queue is
// full, so that every connect attempt waits for its time-out.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/HostProbe.h"
#include "app/RefreshT.h"
#include "app/RemoteCalls.h"
#include "platform/Sync.h"

namespace {

constexpr int kHosts = 50;
constexpr int kProbeTimeoutMs = 500;

// A loopback listener that never accepts, with its accept queue filled.
class TDeadListener final {
 public:
  TDeadListener() : FFd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = Loopback(0);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(FFd, 0);
    socklen_t length = sizeof address;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    FillQueue();
  }
  ~TDeadListener() {
    for (int fd : FFillers) ::close(fd);
    ::close(FFd);
  }
  int Port() const { return FPort; }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }
  // Connects until a connect no longer completes: the queue is full then.
  void FillQueue() {
    for (int i = 0; i < 16; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      const sockaddr_in address = Loopback(FPort);
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      pollfd waiter{fd, POLLOUT, 0};
      const bool connected = ::poll(&waiter, 1, 100) == 1;
      FFillers.push_back(fd);
      if (!connected) return;
    }
  }

  int FFd;
  int FPort = 0;
  std::vector<int> FFillers;
};

void BM_RefreshDeadHosts(benchmark::State& state) {
  std::vector<std::unique_ptr<TDeadListener>> listeners;
  for (int i = 0; i < kHosts; ++i) listeners.push_back(std::make_unique<TDeadListener>());
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe(kProbeTimeoutMs);
  const auto started = std::chrono::steady_clock::now();
  for (auto _ : state) {
    quv::TRefreshT worker(calls, probe);
    worker.SetMethodName("quvsystem.tasks.list");
    for (int i = 0; i < kHosts; ++i)
      worker.AddIP(std::to_string(i + 1) + "=127.0.0.1:" + std::to_string(listeners[i]->Port()));
    quv::TEvent done;
    worker.SetOnDone([&done](quv::TRefreshT&) { done.SetEvent(); });
    worker.Start();
    done.WaitFor(quv::TEvent::kInfinite);
    worker.WaitFor();
  }
  const double refreshMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count() /
      static_cast<double>(state.iterations());
  state.counters["hosts"] = kHosts;
  state.counters["refresh_ms"] = refreshMs;
  state.counters["sequential_over_refresh"] = kHosts * kProbeTimeoutMs / refreshMs;
  state.counters["sequential_timeouts_ms"] = kHosts * kProbeTimeoutMs;
}

}  // namespace

BENCHMARK(BM_RefreshDeadHosts)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();
