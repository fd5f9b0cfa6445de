#pragma once

#include <memory>

#include "client/quvClient.h"
#include "tests/kit/ServerProcess.h"

namespace quv::bench {

// The application server of a benchmark program: started on first use,
// stopped at exit.
inline testing::TServerProcess& EchoServer() {
  static testing::TServerProcess server;
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
