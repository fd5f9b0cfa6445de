#pragma once

#include "server/app/quvMethods.h"

namespace quv {

// The methods of the library "quvtest", for tests and benchmarks:
// - quvtest.echo answers its parameters recordset unchanged;
// - quvtest.fail answers an error whose text is the call context text;
// - quvtest.wait waits until the client has answered as many probes as its
//   context text says (a decimal count), or until the call is cancelled,
//   then answers like echo.
void RegisterQuvTest(TMethodRegistry& methods);

}  // namespace quv
