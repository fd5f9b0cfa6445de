#include "app/FleetMetrics.h"

#include <charconv>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

// A label value as the exposition format wants it: backslash, double quote
// and line feed escaped.
std::string EscapedLabel(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '"')
      escaped += "\\\"";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

// The shortest text that reads back as `value`.
std::string NumberText(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string SecondsText(int64_t ms) { return NumberText(static_cast<double>(ms) / 1000); }

// The samples of one metric family; written with its HELP and TYPE lines
// when it has any.
class TFamily final {
 public:
  TFamily(std::string name, std::string type, std::string help)
      : FName(std::move(name)), FType(std::move(type)), FHelp(std::move(help)) {}

  // `labels` as written between the braces, empty for none.
  void Add(const std::string& labels, const std::string& value, const std::string& suffix = "") {
    FSamples += FName + suffix;
    if (!labels.empty()) FSamples += "{" + labels + "}";
    FSamples += " " + value + "\n";
  }
  void WriteTo(std::string& out) const {
    if (FSamples.empty()) return;
    out += "# HELP " + FName + " " + FHelp + "\n# TYPE " + FName + " " + FType + "\n" + FSamples;
  }

 private:
  const std::string FName, FType, FHelp;
  std::string FSamples;
};

}  // namespace

std::vector<TFleetMetrics::TServer> TFleetMetrics::ServersOf(const TFleetView& view) {
  std::vector<TServer> servers;
  for (const THostRow& host : view.HostRows()) {
    const std::string label = HostLabel(host.Line);
    TServer server;
    server.Address = Cp1252ToUtf8(HostAddress(host.Line));
    server.Name = label.empty() ? server.Address : Cp1252ToUtf8(label);
    server.Up = host.Status.State == THostState::Answering;
    server.RoundTripMs = host.Status.RoundTripMs;
    // A server that does not answer has no current counts: the last ones
    // it gave would read as live.
    if (server.Up) server.Counts = host.Counts;
    servers.push_back(std::move(server));
  }
  return servers;
}

void TFleetMetrics::Observe(TDurations& durations, uint32_t durationMs) {
  const double seconds = static_cast<double>(durationMs) / 1000;
  for (std::size_t i = 0; i < kRefreshBuckets.size(); ++i) {
    if (seconds <= kRefreshBuckets[i]) {
      ++durations.Buckets[i];
      break;
    }
  }
  ++durations.Count;
  durations.SumSeconds += seconds;
}

void TFleetMetrics::TakeRefresh(const TFleetView& view, bool sessions, uint32_t durationMs) {
  std::vector<TServer> servers = ServersOf(view);
  std::vector<TLicenceRow> licences;
  if (sessions)
    for (const TLicenceRow& row : view.Sessions().Licences)
      licences.push_back({Cp1252ToUtf8(row.Licence), row.Count});
  std::lock_guard<std::mutex> guard(FLock);
  FSnapshot.Servers = std::move(servers);
  if (sessions) FSnapshot.Licences = std::move(licences);
  Observe(sessions ? FSnapshot.Sessions : FSnapshot.Tasks, durationMs);
}

void TFleetMetrics::TakeRecorderCounts(std::size_t written, std::size_t dropped) {
  std::lock_guard<std::mutex> guard(FLock);
  FSnapshot.Recorder = TRecorderCounts{written, dropped};
}

std::string TFleetMetrics::Render() const {
  TSnapshot snapshot;
  {
    std::lock_guard<std::mutex> guard(FLock);
    snapshot = FSnapshot;
  }
  return RenderSnapshot(snapshot);
}

std::string TFleetMetrics::RenderSnapshot(const TSnapshot& snapshot) {
  TFamily up("quvtasks_server_up", "gauge",
             "Whether the server answered its last call (1) or not (0).");
  TFamily roundTrip("quvtasks_server_round_trip_seconds", "gauge",
                    "Probe and call of the server's last finished call.");
  TFamily tasks("quvtasks_server_tasks", "gauge", "Tasks running on the server.");
  TFamily oldest("quvtasks_server_oldest_task_age_seconds", "gauge",
                 "How long the server's longest-running task has run; 0 without tasks.");
  TFamily sessions("quvtasks_server_sessions", "gauge", "Sessions open on the server.");
  for (const TServer& server : snapshot.Servers) {
    const std::string labels = "server=\"" + EscapedLabel(server.Name) + "\",address=\"" +
                               EscapedLabel(server.Address) + "\"";
    up.Add(labels, server.Up ? "1" : "0");
    if (server.RoundTripMs >= 0) roundTrip.Add(labels, SecondsText(server.RoundTripMs));
    if (server.Counts.Tasks >= 0) tasks.Add(labels, std::to_string(server.Counts.Tasks));
    if (server.Counts.OldestMs >= 0) oldest.Add(labels, SecondsText(server.Counts.OldestMs));
    if (server.Counts.Sessions >= 0) sessions.Add(labels, std::to_string(server.Counts.Sessions));
  }
  TFamily licences("quvtasks_licence_sessions", "gauge",
                   "Sessions in use per licence over the servers that answered.");
  for (const TLicenceRow& row : snapshot.Licences)
    licences.Add("licence=\"" + EscapedLabel(row.Licence) + "\"", std::to_string(row.Count));
  TFamily durations("quvtasks_refresh_duration_seconds", "histogram",
                    "How long a refresh of the list took, from its calls to its rows.");
  for (const auto& [list, observed] : {std::pair{"tasks", &snapshot.Tasks},
                                       std::pair{"sessions", &snapshot.Sessions}}) {
    const std::string labels = std::string("list=\"") + list + "\"";
    uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kRefreshBuckets.size(); ++i) {
      cumulative += observed->Buckets[i];
      durations.Add(labels + ",le=\"" + NumberText(kRefreshBuckets[i]) + "\"",
                    std::to_string(cumulative), "_bucket");
    }
    durations.Add(labels + ",le=\"+Inf\"", std::to_string(observed->Count), "_bucket");
    durations.Add(labels, NumberText(observed->SumSeconds), "_sum");
    durations.Add(labels, std::to_string(observed->Count), "_count");
  }
  TFamily written("quvtasks_recorder_written_refreshes_total", "counter",
                  "Refreshes the recorder wrote to its file.");
  TFamily dropped("quvtasks_recorder_dropped_refreshes_total", "counter",
                  "Refreshes the recorder dropped (its queue was full, or writing failed).");
  if (snapshot.Recorder) {
    written.Add("", std::to_string(snapshot.Recorder->Written));
    dropped.Add("", std::to_string(snapshot.Recorder->Dropped));
  }
  std::string out;
  for (const TFamily* family :
       {&up, &roundTrip, &tasks, &oldest, &sessions, &licences, &durations, &written, &dropped})
    family->WriteTo(out);
  return out;
}

}  // namespace quv
