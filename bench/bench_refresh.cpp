// One refresh cycle of the task tab (probe, call, rows built) over hosts
// that answer (loopback quvserver processes in demo mode) and over hosts of
// which half never answer, beside the time of one host and the sum of the
// single probes and calls measured in the same run. The hosts that never
// answer are loopback listeners whose accept queue is full, so that every
// connect attempt waits for its time-out. Distant hosts are the same servers
// behind a latency proxy, one proxy port per host, at a 20 ms round trip: there
// a refresh waits on the network rather than on the two cores.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/HostConfig.h"
#include "app/HostProbe.h"
#include "app/RefreshT.h"
#include "app/RemoteCalls.h"
#include "app/TaskRows.h"
#include "bench/RatioReporter.h"
#include "client/quvClientScope.h"
#include "platform/Sync.h"
#include "tests/kit/LatencyProxy.h"
#include "tests/kit/ServerProcess.h"
#include "transport/quvConPool.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kHosts = 50;
constexpr int kProbeTimeoutMs = 500;
constexpr int kServers = 5;
constexpr int kMeasuredRefreshes = 5;
constexpr int kMaxDistantHosts = 500;
constexpr int64_t kOneWayDelayNs = 10 * 1000 * 1000;
// A loopback listener that never accepts, with its accept queue filled.
class TDeadListener final {
 public:
  TDeadListener() : FFd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = quv::testing::LoopbackAddress();
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
  // Connects until a connect no longer completes: the queue is full then.
  void FillQueue() {
    for (int i = 0; i < 16; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      const sockaddr_in address = quv::testing::LoopbackAddress(FPort);
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

double MsSince(TClock::time_point start) {
  return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

// The demo servers that answer, started once for the whole run.
const std::vector<std::unique_ptr<quv::testing::TServerProcess>>& Servers() {
  static const auto servers = [] {
    std::vector<std::unique_ptr<quv::testing::TServerProcess>> started;
    for (int i = 0; i < kServers; ++i)
      started.push_back(std::make_unique<quv::testing::TServerProcess>(
          std::vector<std::string>{"--demo", "--seed", std::to_string(i + 1), "--max-connections",
                                   std::to_string(2 * kMaxDistantHosts)}));
    // In a real list every host is a server of its own with one pooled
    // connection; here each server stands for up to kHosts / kServers hosts, so
    // the pool keeps that many idle connections per address. With the default
    // of 4, six of each server's connections would be closed and opened again
    // in every refresh.
    quv::DefaultPool().SetIdleLimit(kHosts / kServers);
    return started;
  }();
  return servers;
}

// `count` host lines that answer; hosts beyond the number of servers repeat them.
std::vector<std::string> AnsweringHosts(int count) {
  std::vector<std::string> hosts;
  for (int i = 0; i < count; ++i)
    hosts.push_back(std::to_string(i + 1) + "=" + Servers()[i % kServers]->Address());
  return hosts;
}

// The proxy that puts the servers at a 20 ms round trip.
quv::testing::TLatencyProxy& Proxy() {
  static quv::testing::TLatencyProxy proxy(kOneWayDelayNs);
  return proxy;
}

// `count` host lines, each behind a proxy port of its own at a 20 ms round
// trip to one of the servers; the first hosts are the same in every list.
std::vector<std::string> DistantHosts(int count) {
  static std::vector<uint16_t> ports;
  while (static_cast<int>(ports.size()) < count)
    ports.push_back(Proxy().AddPort(Servers()[ports.size() % kServers]->Port()));
  std::vector<std::string> hosts;
  for (int i = 0; i < count; ++i)
    hosts.push_back(std::to_string(i + 1) + "=127.0.0.1:" + std::to_string(ports[i]));
  return hosts;
}

// The threads that every refresh of the run shares, as the viewer's window does.
quv::TWorkerPool& HostWorkers() {
  static quv::TWorkerPool workers(quv::TRefreshT::kMaxConcurrentHosts - 1);
  return workers;
}

// One refresh cycle of the task tab over `hosts`: the worker's run and the
// rows built from its replies. Returns its milliseconds.
double RefreshTaskTab(quv::IRemoteCalls& calls, quv::IHostProbe& probe,
                      const std::vector<std::string>& hosts, std::size_t& rowCount) {
  const auto started = TClock::now();
  quv::THostCallTable table(hosts.size());
  quv::TRefreshT worker(calls, probe, HostWorkers(), table);
  worker.SetMethodName(std::string(quv::TaskListMethod()));
  for (const std::string& host : hosts) worker.AddIP(host);
  quv::TEvent done;
  worker.SetOnDone([&done](quv::TRefreshT&) { done.SetEvent(); });
  worker.Start();
  done.WaitFor(quv::TEvent::kInfinite);
  worker.WaitFor();
  std::vector<quv::TTaskRow> rows;
  quv::BuildTaskRows(
      hosts, [&worker](std::size_t i) { return worker.TakeResult(i); }, rows);
  rowCount = rows.size();
  return MsSince(started);
}

// The probes and calls of `hosts` one after the other, each timed alone;
// returns the sum of their milliseconds.
double SumOfSingleCalls(quv::IRemoteCalls& calls, quv::IHostProbe& probe,
                        const std::vector<std::string>& hosts) {
  double sum = 0;
  for (const std::string& host : hosts) {
    const auto started = TClock::now();
    probe.Probe(quv::HostAddress(host));
    calls.ExecMethod(std::string(quv::TaskListMethod()), quv::HostAddress(host));
    sum += MsSince(started);
  }
  return sum;
}

// Means of the refreshes of `hosts` and of a refresh of `oneHost`, measured
// in turn, with the counters the benchmarks report.
void MeasureAgainstOneHost(benchmark::State& state, quv::IRemoteCalls& calls,
                           quv::IHostProbe& probe, const std::vector<std::string>& hosts,
                           const std::vector<std::string>& oneHost) {
  std::size_t rows = 0;
  RefreshTaskTab(calls, probe, hosts, rows);  // connections opened, interface file loaded
  double refreshMs = 0, oneHostMs = 0;
  for (auto _ : state) {
    const double ms = RefreshTaskTab(calls, probe, hosts, rows);
    state.SetIterationTime(ms / 1000);
    refreshMs += ms;
    std::size_t oneHostRows = 0;
    oneHostMs += RefreshTaskTab(calls, probe, oneHost, oneHostRows);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["hosts"] = static_cast<double>(hosts.size());
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["refresh_ms"] = refreshMs / n;
  state.counters["one_host_ms"] = oneHostMs / n;
  state.counters["refresh_over_one_host"] = refreshMs / oneHostMs;
}

void BM_RefreshAnsweringHosts(benchmark::State& state) {
  const std::vector<std::string> hosts = AnsweringHosts(static_cast<int>(state.range(0)));
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe(kProbeTimeoutMs);
  MeasureAgainstOneHost(state, calls, probe, hosts, AnsweringHosts(1));
  const double singleSumMs = SumOfSingleCalls(calls, probe, hosts);
  state.counters["single_calls_sum_ms"] = singleSumMs;
  state.counters["single_calls_sum_over_refresh"] = singleSumMs / state.counters["refresh_ms"];
  // A call over loopback is mostly CPU time of client and server, so a
  // refresh can at best spread the single calls over all cores.
  const double cores = std::max(1u, std::thread::hardware_concurrency());
  state.counters["cores"] = cores;
  state.counters["refresh_over_cpu_floor"] = state.counters["refresh_ms"] / (singleSumMs / cores);
}

// Answering and dead hosts alternate; the limit is one probe time-out plus
// three one-host refreshes.
void BM_RefreshHalfDeadHosts(benchmark::State& state) {
  std::vector<std::unique_ptr<TDeadListener>> listeners;
  std::vector<std::string> hosts;
  const std::vector<std::string> answering = AnsweringHosts(kHosts / 2);
  for (int i = 0; i < kHosts / 2; ++i) {
    listeners.push_back(std::make_unique<TDeadListener>());
    hosts.push_back(answering[i]);
    hosts.push_back("dead" + std::to_string(i + 1) +
                    "=127.0.0.1:" + std::to_string(listeners.back()->Port()));
  }
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe(kProbeTimeoutMs);
  MeasureAgainstOneHost(state, calls, probe, hosts, AnsweringHosts(1));
  const double limitMs = kProbeTimeoutMs + 3 * state.counters["one_host_ms"];
  state.counters["limit_ms"] = limitMs;
  state.counters["refresh_over_limit"] = state.counters["refresh_ms"] / limitMs;
}

// Resident memory of this process in MB: the peak since the last
// ResetResidentPeak ("VmHWM") or the present figure ("VmRSS").
double ResidentMb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024;
  return 0;
}

// CPU time of this process (every thread) in ms.
double ProcessCpuMs() {
  timespec spent{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &spent);
  return static_cast<double>(spent.tv_sec) * 1e3 + static_cast<double>(spent.tv_nsec) / 1e6;
}

// CPU time of every demo server (all their threads) in ms.
double ServersCpuMs() {
  double ms = 0;
  for (const auto& server : Servers()) {
    std::ifstream stat("/proc/" + std::to_string(server->Pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // After the command in parentheses: state is field 3, utime and stime 14 and 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
      if (i >= 14) ticks += std::stod(field);
    ms += ticks * 1000 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  return ms;
}

void ResetResidentPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Against one distant host, by host count: the refresh, and the least the
// proxy and the servers allow on this machine. Printed at the end.
struct TDistantRatios {
  double Refresh = 0;
  double PeersFloor = 0;
};
std::map<int, TDistantRatios>& DistantRatios() {
  static std::map<int, TDistantRatios> ratios;
  return ratios;
}

// The mean of `times` refreshes of `hosts` in ms.
double MeanRefreshMs(quv::IRemoteCalls& calls, quv::IHostProbe& probe,
                     const std::vector<std::string>& hosts, int times) {
  double sum = 0;
  std::size_t rows = 0;
  for (int i = 0; i < times; ++i) sum += RefreshTaskTab(calls, probe, hosts, rows);
  return sum / times;
}

// The one-host baseline is measured before the refreshes of `hosts`, not in
// turn with them: right after 500 hosts the servers are still busy, and the
// one host would look slower than it is.
void BM_RefreshDistantHosts(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::vector<std::string> hosts = DistantHosts(count);
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe(kProbeTimeoutMs);
  std::size_t rows = 0;
  RefreshTaskTab(calls, probe, hosts, rows);  // connections opened, threads started
  const double oneHostMs = MeanRefreshMs(calls, probe, DistantHosts(1), kMeasuredRefreshes);
  ResetResidentPeak();
  const double proxyStartMs = Proxy().CpuMs();
  const double cpuStartMs = ProcessCpuMs() - proxyStartMs;
  const double serversStartMs = ServersCpuMs();
  double refreshMs = 0;
  for (auto _ : state) {
    const double ms = RefreshTaskTab(calls, probe, hosts, rows);
    state.SetIterationTime(ms / 1000);
    refreshMs += ms;
  }
  const double n = static_cast<double>(state.iterations());
  const double proxyMs = (Proxy().CpuMs() - proxyStartMs) / n;
  const double cpuMs = (ProcessCpuMs() - cpuStartMs) / n - proxyMs;
  const double cores = std::max(1u, std::thread::hardware_concurrency());
  state.counters["hosts"] = count;
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["round_trip_ms"] = 2.0 * kOneWayDelayNs / 1e6;
  state.counters["refresh_ms"] = refreshMs / n;
  state.counters["one_host_ms"] = oneHostMs;
  state.counters["refresh_over_one_host"] = refreshMs / n / oneHostMs;
  // The viewer's own CPU time per refresh (the proxy's thread left out): spread
  // over every core it is the least a refresh can take on this machine.
  state.counters["client_cpu_ms"] = cpuMs;
  state.counters["refresh_over_cpu_floor"] = refreshMs / n / (cpuMs / cores);
  state.counters["proxy_cpu_ms"] = proxyMs;
  // The servers stand for hosts of their own; here they share the two cores.
  const double serversMs = (ServersCpuMs() - serversStartMs) / n;
  state.counters["servers_cpu_ms"] = serversMs;
  // What the stand-ins for the network and the distant machines cost here
  // alone, spread over every core: no viewer can refresh faster on this machine.
  const double peersFloorMs = (proxyMs + serversMs) / cores;
  state.counters["peers_floor_over_one_host"] = peersFloorMs / oneHostMs;
  state.counters["refresh_over_machine_floor"] =
      refreshMs / n / ((cpuMs + proxyMs + serversMs) / cores);
  state.counters["resident_peak_mb"] = ResidentMb("VmHWM");
  state.counters["resident_mb"] = ResidentMb("VmRSS");
  DistantRatios()[count] = {state.counters["refresh_over_one_host"],
                            state.counters["peers_floor_over_one_host"]};
}

void PrintDistantRatios() {
  const std::map<int, double> targets = {{50, 1.5}, {kMaxDistantHosts, 3}};
  for (const auto& [count, target] : targets) {
    const auto found = DistantRatios().find(count);
    if (found != DistantRatios().end())
      std::cerr << count << " hosts at a 20 ms round trip: " << found->second.Refresh
                << "x one host (target <= " << target
                << "x); the proxy and the servers alone: " << found->second.PeersFloor << "x\n";
  }
}

void BM_RefreshDeadHosts(benchmark::State& state) {
  std::vector<std::unique_ptr<TDeadListener>> listeners;
  for (int i = 0; i < kHosts; ++i) listeners.push_back(std::make_unique<TDeadListener>());
  quv::TClientRemoteCalls calls;
  quv::TTcpProbe probe(kProbeTimeoutMs);
  const auto started = std::chrono::steady_clock::now();
  for (auto _ : state) {
    quv::THostCallTable table(kHosts);
    quv::TRefreshT worker(calls, probe, HostWorkers(), table);
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
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
          .count() /
      static_cast<double>(state.iterations());
  state.counters["hosts"] = kHosts;
  state.counters["refresh_ms"] = refreshMs;
  state.counters["sequential_over_refresh"] = kHosts * kProbeTimeoutMs / refreshMs;
  state.counters["sequential_timeouts_ms"] = kHosts * kProbeTimeoutMs;
}

}  // namespace

BENCHMARK(BM_RefreshAnsweringHosts)
    ->Arg(1)
    ->Arg(10)
    ->Arg(kHosts)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kMeasuredRefreshes)
    ->UseManualTime();
BENCHMARK(BM_RefreshHalfDeadHosts)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kMeasuredRefreshes)
    ->UseManualTime();
BENCHMARK(BM_RefreshDistantHosts)
    ->Arg(1)
    ->Arg(kHosts)
    ->Arg(kMaxDistantHosts)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kMeasuredRefreshes)
    ->UseManualTime();
BENCHMARK(BM_RefreshDeadHosts)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The ratios go to standard error, so that a JSON report on standard output stays whole.
int main(int argc, char** argv) {
  const quv::TClientScope scope;
  return quv::RunBenchmarks(argc, argv, PrintDistantRatios);
}
