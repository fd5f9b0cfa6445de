#include "appserver/quvProbeThread.h"

#include <chrono>
#include <string_view>

#include "appserver/quvServerLog.h"

namespace quv {

namespace {

constexpr std::string_view kProbeSignature = "QUVF";

}  // namespace

TProbeThread::TProbeThread(TquvPackage& package, TCallControl& control, TProbeTimer& timer,
                           int32_t intervalMs, std::string peer)
    : FPackage(package),
      FControl(control),
      FTimer(timer),
      FInterval(intervalMs),
      FPeer(std::move(peer)) {}

TProbeThread::~TProbeThread() { Stop(); }

void TProbeThread::Arm() {
  TTime flushAt;
  {
    std::lock_guard<std::mutex> guard(FLock);
    const TTime now = std::chrono::steady_clock::now();
    FArmed = true;
    FFailed = false;
    FHeldFlushed = false;
    FFlushAt = now + std::chrono::milliseconds(kHeldBytesMs);
    FProbeAt = now + FInterval;
    // Awake, it looks again within kHeldBytesMs anyway.
    FTimerSet = FSleeping;
    flushAt = FFlushAt;
  }
  if (FTimerSet) FTimer.Schedule(*this, flushAt);
}

bool TProbeThread::Disarm() {
  // FTimerSet changes only in Arm, on this same thread.
  if (FTimerSet) FTimer.Cancel(*this);
  std::unique_lock<std::mutex> lock(FLock);
  FArmed = false;
  FTimerSet = false;
  FChanged.wait(lock, [this] { return !FBusy; });
  return !FFailed;
}

void TProbeThread::Stop() {
  FTimer.Cancel(*this);
  {
    std::lock_guard<std::mutex> guard(FLock);
    Terminate();
  }
  FChanged.notify_all();
  WaitFor();
}

void TProbeThread::WakeForDeadline() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FDeadlineCame = true;
  }
  FChanged.notify_all();
}

void TProbeThread::Execute() {
  std::unique_lock<std::mutex> lock(FLock);
  while (!Terminated()) {
    if (!FArmed) {
      FSleeping = true;
      FChanged.wait(lock, [this] { return FDeadlineCame || Terminated(); });
      FSleeping = false;
      FDeadlineCame = false;
      continue;
    }
    const TTime now = std::chrono::steady_clock::now();
    if (!FHeldFlushed && now >= FFlushAt) {
      FHeldFlushed = true;
      UsePackage(lock, &TProbeThread::FlushHeld);
    } else if (now >= FProbeAt) {
      if (UsePackage(lock, &TProbeThread::Probe))
        FProbeAt = std::chrono::steady_clock::now() + FInterval;
    } else {
      // Not woken by a new Arm: never sleep past the flush a new call may need.
      const TTime next = FHeldFlushed ? FProbeAt : std::min(FFlushAt, FProbeAt);
      FChanged.wait_until(lock, std::min(next, now + std::chrono::milliseconds(kHeldBytesMs)));
    }
  }
}

bool TProbeThread::UsePackage(std::unique_lock<std::mutex>& lock, bool (TProbeThread::*work)()) {
  FBusy = true;
  lock.unlock();
  const bool done = (this->*work)();
  lock.lock();
  FBusy = false;
  if (!done) {
    FFailed = true;
    FArmed = false;
  }
  FChanged.notify_all();
  return done;
}

bool TProbeThread::FlushHeld() {
  try {
    FPackage.Flush(0);
    return true;
  } catch (const std::exception& e) {
    FControl.Cancel();
    if (!Terminated()) ServerLogLine(FPeer + ": flush failed: " + e.what());
    return false;
  }
}

bool TProbeThread::Probe() {
  try {
    FPackage.WriteBuffer(kProbeSignature.data(), static_cast<int32_t>(kProbeSignature.size()));
    FPackage.Flush(0);
    FPackage.ExpectInteger(pack_dt_alive);
    FControl.ProbeAnswered();
    return true;
  } catch (const std::exception& e) {
    FControl.Cancel();
    if (!Terminated()) ServerLogLine(FPeer + ": probe failed: " + e.what());
    return false;
  }
}

}  // namespace quv
