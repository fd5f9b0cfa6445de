#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Thread.h"
#include "appserver/quvMethods.h"
#include "appserver/quvProbeTimer.h"
#include "transport/quvpack.h"

namespace quv {

// Probes the client with "QUVF" while a call runs: once armed, it waits a
// probe interval, sends the probe and reads the client's pack_dt_alive, and
// again, until disarmed. Shortly after arming it flushes what the package
// holds, so that an acknowledgement buffered before a long call reaches the
// client without waiting for the reply. A failed probe or flush cancels the
// call. It touches the package only between Arm and Disarm, while the
// connection's own thread leaves it alone. Asleep, it is woken by the
// server's probe timer only when a call is still armed at its flush time, so
// quick calls cost no thread switch. "*package", "*control" and "*timer" must
// outlive it; Arm, Disarm and Stop belong to the connection's thread.
class TProbeThread final : public TThread {
 public:
  TProbeThread(TquvPackage& package, TCallControl& control, TProbeTimer& timer,
               int32_t intervalMs, std::string peer);
  ~TProbeThread() override;

  void Arm();
  // Ends probing, waiting for a probe in progress; false when a probe failed.
  bool Disarm();
  void Stop();
  // Called by the timer when the flush time of an armed call has come.
  void WakeForDeadline();

  // How long after Arm the buffered bytes are flushed.
  static constexpr int32_t kHeldBytesMs = 20;

 protected:
  void Execute() override;

 private:
  using TTime = TProbeTimer::TTime;

  // Runs `work` on the package with the lock released; false when it failed.
  bool UsePackage(std::unique_lock<std::mutex>& lock, bool (TProbeThread::*work)());
  // True when the client answered.
  bool Probe();
  bool FlushHeld();

  TquvPackage& FPackage;
  TCallControl& FControl;
  TProbeTimer& FTimer;
  const std::chrono::milliseconds FInterval;
  const std::string FPeer;
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FArmed = false;     // guarded by FLock, like the fields below
  bool FSleeping = false;  // waits for the timer without a time limit
  bool FTimerSet = false;  // the timer holds a deadline for this call
  bool FDeadlineCame = false;
  bool FBusy = false;      // a flush or probe is on the wire
  bool FFailed = false;
  bool FHeldFlushed = false;
  TTime FFlushAt;
  TTime FProbeAt;
};

}  // namespace quv
