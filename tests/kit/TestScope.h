#pragma once

#include "platform/Clock.h"

namespace quv::testing {

// The running test's manual clock, installed as the process clock from the
// first call until the test's process scope has ended, so that threads the
// scope joins never read a clock that is gone. Starts at tick 0x40000000.
TManualClock& TestManualClock();

}  // namespace quv::testing
