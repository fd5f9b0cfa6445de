#pragma once

#include "platform/ProcessSlot.h"
#include "server/common/quvProcessScope.h"

namespace quv {

// Every process-wide object of a program that calls servers, made in this
// order and ended in reverse: the process scope (platform and data layers),
// then the client settings, the log files, the pool list with its checker and
// the default pool, the locator cache, the file watcher, the interface
// registry, the activity list, the process information block, the broker
// bridge, the plain main thread (the thread that makes the scope), the thread
// reaper and last the client unit with its execute threads and hub. Threads
// handed to the reaper are joined before anything they use goes.
//
// Ending it first closes the default pool and interrupts the calls still in
// flight on it, so that execute threads and handed-over threads end at once
// and are joined while the pool and their sockets still exist. Made by main
// (and by each test) on the thread that runs it; not thread-safe.
class TClientScope final {
 public:
  TClientScope();
  ~TClientScope();
  TClientScope(const TClientScope&) = delete;
  TClientScope& operator=(const TClientScope&) = delete;

 private:
  TProcessScope FProcess;
  TScopeParts FParts;
};

}  // namespace quv
