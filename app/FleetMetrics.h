#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/FleetView.h"

namespace quv {

// What the headless watch saw of the fleet, for a metrics scraper: each
// server's health and counts, the sessions per licence, how long refreshes
// took (per list) and what the recorder wrote and dropped, rendered in the
// Prometheus text exposition format 0.0.4. The watch hands over each
// refresh; a scraper renders from a copy taken under a short lock, so that
// neither waits on the other. Thread-safe.
class TFleetMetrics final {
 public:
  // Upper bounds of the refresh-duration histogram, in seconds (+Inf follows).
  static constexpr std::array<double, 10> kRefreshBuckets = {0.01, 0.025, 0.05, 0.1, 0.25,
                                                              0.5,  1,     2.5,  5,   10};

  // Takes what `view` shows after a refresh of the task (or session) list
  // that took `durationMs`.
  void TakeRefresh(const TFleetView& view, bool sessions, uint32_t durationMs);
  // The recorder's refreshes written and dropped so far (none set: no such metrics).
  void TakeRecorderCounts(std::size_t written, std::size_t dropped);
  // The exposition text (UTF-8).
  std::string Render() const;

 private:
  // One server as last seen; texts are UTF-8, -1 where nothing is known.
  struct TServer {
    std::string Name;
    std::string Address;
    bool Up = false;
    int32_t RoundTripMs = -1;
    THostCounts Counts;
  };
  struct TDurations {
    std::array<uint64_t, kRefreshBuckets.size()> Buckets{};  // not cumulative
    uint64_t Count = 0;
    double SumSeconds = 0;
  };
  struct TRecorderCounts {
    std::size_t Written = 0;
    std::size_t Dropped = 0;
  };
  struct TSnapshot {
    std::vector<TServer> Servers;
    std::vector<TLicenceRow> Licences;  // licence texts UTF-8
    TDurations Tasks;
    TDurations Sessions;
    std::optional<TRecorderCounts> Recorder;
  };

  static std::vector<TServer> ServersOf(const TFleetView& view);
  static void Observe(TDurations& durations, uint32_t durationMs);
  static std::string RenderSnapshot(const TSnapshot& snapshot);

  mutable std::mutex FLock;  // guards FSnapshot
  TSnapshot FSnapshot;
};

}  // namespace quv
