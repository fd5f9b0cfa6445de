#pragma once

#include <cstdint>
#include <functional>

#include "client/quvMainThread.h"

namespace quv {

// The viewer's main thread, Qt's GUI thread: a job sent there runs by a
// blocking queued invocation, and a wait there handles Qt's events. Made on
// the GUI thread after the application object and gone before it; installs
// itself as the process's main thread while it lives. Thread-safe.
class TQtMainThread final : public IquvMainThread {
 public:
  TQtMainThread();
  ~TQtMainThread() override;
  TQtMainThread(const TQtMainThread&) = delete;
  TQtMainThread& operator=(const TQtMainThread&) = delete;

  bool Send(const std::function<void()>& job) override;
  bool HandleOneMessage(uint32_t waitMs) override;
  bool IsMainThread() const override;
};

}  // namespace quv
