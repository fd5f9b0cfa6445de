#pragma once

#include "platform/Clock.h"

namespace quv::testing {

// A manual clock that lives until the process ends. Threads that outlive a
// test (the connection pool's checker) may still be reading the clock when
// the test gives the process clock back, so the clock itself must stay valid.
inline TManualClock& LastingManualClock() {
  static TManualClock* clock = new TManualClock(0x40000000);
  return *clock;
}

}  // namespace quv::testing
