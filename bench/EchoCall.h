#pragma once

#include <memory>

#include "client/quvClient.h"
#include "tests/kit/ServerProcess.h"
#include "transport/quvConPool.h"

namespace quv::bench {

// The most threads a benchmark calls from at once.
constexpr int kCallingThreads = 8;

// The application server of a benchmark program: started on first use,
// stopped at exit. The pool keeps a connection per calling thread idle between
// calls, as a program calling from that many threads sets it; with the default
// of 4, half of the threads would connect anew for every call.
inline testing::TServerProcess& EchoServer() {
  static testing::TServerProcess server = [] {
    DefaultPool().SetIdleLimit(kCallingThreads);
    return testing::TServerProcess();
  }();
  return server;
}

// One synchronous ExecMethod of quvtest.test.echo with code 42 on that server;
// raises when the reply is not its one row.
inline void EchoCall() {
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("quvtest.test.echo", {"code"}, {42}, reply, EchoServer().Address());
  if (reply->RecordCount() != 1) throw Exception("short reply");
}

}  // namespace quv::bench
