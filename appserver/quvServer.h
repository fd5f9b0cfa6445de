#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "appserver/quvConnectionThread.h"
#include "appserver/quvLocatorAnswer.h"
#include "appserver/quvLocatorResponder.h"
#include "appserver/quvMethods.h"
#include "appserver/quvProbeTimer.h"
#include "appserver/quvServerOptions.h"
#include "appserver/quvServerState.h"

namespace quv {

// Accepts connections on the listen address and serves each on a thread of
// its own, up to the connection limit; a client beyond it gets "QUVC" and is
// closed. A new connection waits in the accept loop until its first bytes
// arrive, so that one closed without a request (a client probing whether the
// server is up) costs no thread. Answers locator requests for the libraries of "*methods" on the
// locator port, from the responder thread it starts in Listen. Run blocks
// until Stop, then stops and joins the responder and every connection
// thread. "*methods" and "*state" must outlive the server. Stop may be called from any
// thread and from a signal handler; the rest belongs to one thread.
class TquvServer final {
 public:
  TquvServer(TServerOptions options, const TMethodRegistry& methods, TServerState& state);
  ~TquvServer();
  TquvServer(const TquvServer&) = delete;
  TquvServer& operator=(const TquvServer&) = delete;

  // Binds and listens, and starts answering on the locator port; raises
  // EOSError. Returns the port listened on.
  uint16_t Listen();
  // The UDP port of locator requests, once listening.
  uint16_t LocatorPort() const { return FResponder ? FResponder->Port() : 0; }
  void Run();
  void Stop();

 private:
  // Reads the wake-up bytes; true when one of them asks to stop.
  bool DrainWakeUps();
  void Wake(char reason);
  struct TPendingConnection {
    int Handle;
    std::string Peer;
  };

  void AcceptOne();
  // Serves the pending connection at `index` once it has sent something, or
  // closes it when it closed first.
  void TakeUpPending(std::size_t index);
  void Refuse(int handle, const std::string& peer);
  // Joins and frees the connection threads that have ended.
  void Reap();
  void StopConnections();
  void StartLocator(uint16_t port);

  const TServerOptions FOptions;
  const TMethodRegistry& FMethods;
  TServerState& FState;
  int FListener = -1;
  int FWakeRead = -1;  // the self-pipe that Stop and ending threads write to
  int FWakeWrite = -1;
  std::unique_ptr<TLocatorAnswer> FLocatorAnswer;  // made in Listen, for every connection
  std::unique_ptr<TLocatorResponder> FResponder;
  std::vector<TPendingConnection> FPending;  // accepted, nothing read yet
  TProbeTimer FProbeTimer;                   // outlives the connections below
  std::vector<std::unique_ptr<TConnectionThread>> FConnections;
};

}  // namespace quv
