#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "server/app/quvConnectionThread.h"
#include "server/app/quvMethods.h"
#include "server/app/quvServerOptions.h"

namespace quv {

// Accepts connections on the listen address and serves each on a thread of
// its own, up to the connection limit; a client beyond it gets "QUVC" and is
// closed. Run blocks until Stop, then stops and joins every connection
// thread. "*methods" must outlive the server. Stop may be called from any
// thread and from a signal handler; the rest belongs to one thread.
class TquvServer final {
 public:
  TquvServer(TServerOptions options, const TMethodRegistry& methods);
  ~TquvServer();
  TquvServer(const TquvServer&) = delete;
  TquvServer& operator=(const TquvServer&) = delete;

  // Binds and listens; raises EOSError. Returns the port listened on.
  uint16_t Listen();
  void Run();
  void Stop();

 private:
  // Reads the wake-up bytes; true when one of them asks to stop.
  bool DrainWakeUps();
  void Wake(char reason);
  void AcceptOne();
  void Refuse(int handle, const std::string& peer);
  // Joins and frees the connection threads that have ended.
  void Reap();
  void StopConnections();

  const TServerOptions FOptions;
  const TMethodRegistry& FMethods;
  int FListener = -1;
  int FWakeRead = -1;  // the self-pipe that Stop and ending threads write to
  int FWakeWrite = -1;
  std::vector<std::unique_ptr<TConnectionThread>> FConnections;
};

}  // namespace quv
