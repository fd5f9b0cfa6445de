#pragma once

#include "appserver/quvMethods.h"

namespace quv {

// The methods of the library "quvtest", for tests and benchmarks; their
// fields are in the interface file quvtest.quv:
// - quvtest.test.echo answers its parameters recordset unchanged;
// - quvtest.test.fail answers an error whose text is its parameter "message";
// - quvtest.test.sleep waits its parameter "ms" milliseconds, or until the call is
//   cancelled, then answers like echo;
// - quvtest.test.rows answers its parameter "count" rows of the task list's
//   fields, the row number in "count"; the last reply is kept and sent again
//   for the same count;
// - quvtest.test.partial answers three such rows, without parameters, as an
//   incomplete reply (result kind 0);
// - quvtest.test.wait waits until the client has answered as many probes as its
//   context text says (a decimal count), or until the call is cancelled,
//   then answers like echo.
void RegisterQuvTest(TMethodRegistry& methods);

}  // namespace quv
