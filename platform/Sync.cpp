#include "platform/Sync.h"

#include <chrono>

namespace quv {

void TEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FSignalled = true;
  }
  if (FManualReset)
    FChanged.notify_all();
  else
    FChanged.notify_one();
}

void TEvent::ResetEvent() {
  std::lock_guard<std::mutex> guard(FLock);
  FSignalled = false;
}

bool TEvent::WaitFor(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(FLock);
  const auto signalled = [this] { return FSignalled; };
  if (timeoutMs == kInfinite)
    FChanged.wait(guard, signalled);
  else if (!FChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), signalled))
    return false;
  if (!FManualReset) FSignalled = false;
  return true;
}

}  // namespace quv
