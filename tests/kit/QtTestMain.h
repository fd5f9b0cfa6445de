#pragma once

#include <QtTest>

#include "client/quvClientScope.h"
#include "platform/Clock.h"

namespace quv::testing {

// A manual clock owned by main ahead of the program's client scope, so that
// it outlives every thread of the scope; a test installs it where it needs
// one (TClockOverride) and gives the real clock back when it ends.
inline TManualClock* gProgramManualClock = nullptr;
inline TManualClock& ProgramManualClock() { return *gProgramManualClock; }

}  // namespace quv::testing

// The main of a QtTest program: the manual clock, the process's client scope,
// then the application object (of class `Application`) and the tests.
#define QUV_QTEST_MAIN(TestObject, Application) \
  int main(int argc, char** argv) {             \
    quv::TManualClock clock(0x40000000);        \
    quv::testing::gProgramManualClock = &clock; \
    const quv::TClientScope scope;              \
    Application app(argc, argv);                \
    TestObject test;                            \
    return QTest::qExec(&test, argc, argv);     \
  }
