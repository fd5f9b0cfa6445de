#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Thread.h"
#include "server/app/quvMethods.h"
#include "transport/quvpack.h"

namespace quv {

// Probes the client with "QUVF" while a call runs: once armed, it waits a
// probe interval, sends the probe and reads the client's pack_dt_alive, and
// again, until disarmed. A failed probe cancels the call. It touches the
// package only between Arm and Disarm, while the connection's own thread
// leaves it alone. "*package" and "*control" must outlive it; Arm, Disarm
// and Stop belong to the connection's thread.
class TProbeThread final : public TThread {
 public:
  TProbeThread(TquvPackage& package, TCallControl& control, int32_t intervalMs, std::string peer);
  ~TProbeThread() override;

  void Arm();
  // Ends probing, waiting for a probe in progress; false when a probe failed.
  bool Disarm();
  void Stop();

 protected:
  void Execute() override;

 private:
  // True when the client answered.
  bool Probe();

  TquvPackage& FPackage;
  TCallControl& FControl;
  const int32_t FIntervalMs;
  const std::string FPeer;
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FArmed = false;    // guarded by FLock, like the two flags below
  bool FProbing = false;  // a probe is on the wire
  bool FFailed = false;
};

}  // namespace quv
