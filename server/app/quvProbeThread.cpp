#include "server/app/quvProbeThread.h"

#include <chrono>
#include <string_view>

#include "server/app/quvServerLog.h"

namespace quv {

namespace {

constexpr std::string_view kProbeSignature = "QUVF";

}  // namespace

TProbeThread::TProbeThread(TquvPackage& package, TCallControl& control, int32_t intervalMs,
                           std::string peer)
    : FPackage(package), FControl(control), FIntervalMs(intervalMs), FPeer(std::move(peer)) {}

TProbeThread::~TProbeThread() { Stop(); }

void TProbeThread::Arm() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FArmed = true;
    FFailed = false;
  }
  FChanged.notify_all();
}

bool TProbeThread::Disarm() {
  std::unique_lock<std::mutex> lock(FLock);
  FArmed = false;
  FChanged.notify_all();
  FChanged.wait(lock, [this] { return !FProbing; });
  return !FFailed;
}

void TProbeThread::Stop() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    Terminate();
  }
  FChanged.notify_all();
  WaitFor();
}

void TProbeThread::Execute() {
  const auto interval = std::chrono::milliseconds(FIntervalMs);
  std::unique_lock<std::mutex> lock(FLock);
  while (!Terminated()) {
    if (!FArmed) {
      FChanged.wait(lock, [this] { return FArmed || Terminated(); });
      continue;
    }
    if (FChanged.wait_for(lock, interval, [this] { return !FArmed || Terminated(); })) continue;
    FProbing = true;
    lock.unlock();
    const bool answered = Probe();
    lock.lock();
    FProbing = false;
    if (!answered) {
      FFailed = true;
      FArmed = false;
    }
    FChanged.notify_all();
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
