#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quv {

// How a host did in its last refresh.
enum class THostState {
  StillWaiting,  // no answer yet: never called, or its call is still running
  Answering,     // its last call gave a reply
  NoConnection,  // the probe could not reach it
  Error,         // the probe passed but the call failed
};

// One host's health as the operator sees it. Texts are Windows-1252.
struct THostStatus {
  THostState State = THostState::StillWaiting;
  std::string Cause;         // why the last call gave no reply; empty when it did
  int32_t RoundTripMs = -1;  // probe and call of the last finished call; -1: none yet
  double LastGood = 0;       // date-time of the last reply; 0: none yet
};

// "respondendo", "sem conexão", "erro", "aguardando".
std::string_view HostStateText(THostState state);
// The cause shown while a host's call is still running.
std::string_view StillWaitingText();

// The hosts of one window: whose call is running, and how each did last.
// A host is called by one refresh at a time; a refresh that finds it busy
// skips it. Thread-safe.
class THostCallTable final {
 public:
  explicit THostCallTable(std::size_t hosts) : FHosts(hosts) {}

  // Marks host i busy; false when its previous call still runs.
  bool TryBegin(std::size_t i);
  // Records the outcome of host i's call and frees it for the next refresh.
  // A failure keeps the time of the last reply.
  void End(std::size_t i, const THostStatus& outcome);
  // Host i's last outcome; a busy host reads as still waiting with the
  // figures of its previous call.
  THostStatus Status(std::size_t i) const;
  std::size_t Size() const { return FHosts.size(); }

 private:
  struct THost {
    bool Busy = false;
    THostStatus Last;
  };
  mutable std::mutex FLock;
  std::vector<THost> FHosts;
};

}  // namespace quv
