// The remote call's error paths, driven by a connection that fails at one
// point of a real call to the application server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/quvExecCommand.h"
#include "tests/kit/FaultConn.h"
#include "tests/kit/ServerProcess.h"
#include "transport/quvCallKinds.h"
#include "transport/quvClientCfg.h"
#include "transport/quvClientConn.h"

namespace quv {
namespace {

using testing::TFault;
using testing::TFaultConn;
using testing::TServerProcess;

constexpr int32_t kReplyRows = 200;
const std::string kErrorStart = "Erro chamando quvtest.test.rows:";

// Restores the default client settings and connections after each test.
struct TClientGuard {
  ~TClientGuard() {
    SetCallConnFactory({});
    TquvClientCfg::LoadFrom("/nonexistent/store", "/nonexistent/quvclient.ini");
  }
};

// Where a call's connection fails.
struct TFailurePoint {
  const char* Name;
  bool Read;      // a read, else a write
  int32_t Nth;    // counted from 1; 0: the last read of an undisturbed call, -1: the one before
};

class ClientFault : public ::testing::Test {
 protected:
  // Every connection of the calls from now on fails at `point`.
  void FailAt(bool read, int32_t nth) {
    SetCallConnFactory([this, read, nth](const std::string& host) {
      auto conn = std::make_unique<TFaultConn>(std::make_unique<TClientConn>(host, false));
      (read ? conn->FailRead(nth, TFault::Gone) : conn->FailWrite(nth, TFault::Gone));
      conn->OnDestroy = [this](const TFaultConn& done) { FLastReads = done.Reads(); };
      return conn;
    });
  }

  // A call of quvtest.test.rows for kReplyRows rows; its result kind.
  uint8_t CallRows(TquvRecordset& result, std::string& errorText) {
    TquvCommandHeader header;
    header.RequestNumber = 4711;
    header.MethodName = "quvtest.test.rows";
    TquvRecordset parameters("", header.MethodName);
    const std::vector<TVariant> values = {TVariant(kReplyRows)};
    parameters.AppendValues(values);
    ExecCommand(FServer.Address(), nullptr, header, {}, result, errorText, &parameters,
                kCallPlain);
    return header.ResultKind;
  }

  // The reads an undisturbed call makes.
  int32_t ReadsOfACall() {
    FailAt(true, 1000000);
    TquvRecordset result;
    std::string errorText;
    EXPECT_EQ(CallRows(result, errorText), kResultComplete) << errorText;
    EXPECT_EQ(result.RecordCount(), kReplyRows);
    return FLastReads;
  }

  TServerProcess FServer;
  TClientGuard FGuard;
  int32_t FLastReads = 0;  // the reads of the latest call's connection
};

TEST_F(ClientFault, EveryFailurePointGivesAnEmptyErrorReplyAndTheNextCallWorks) {
  const int32_t reads = ReadsOfACall();
  ASSERT_GT(reads, 5);
  const TFailurePoint points[] = {
      {"send", false, 2},          {"RECVOK", true, 1},        {"signature", true, 2},
      {"header", true, 3},         {"recordset", true, -1},    {"final marker", true, 0},
  };
  for (const TFailurePoint& point : points) {
    SCOPED_TRACE(point.Name);
    FailAt(point.Read, point.Nth > 0 ? point.Nth : reads + point.Nth);
    TquvRecordset result;
    std::string errorText;
    EXPECT_EQ(CallRows(result, errorText), kResultError);
    EXPECT_EQ(errorText.substr(0, kErrorStart.size()), kErrorStart) << errorText;
    EXPECT_EQ(result.RecordCount(), 0);
    // A broken connection never goes back to the pool with unread bytes.
    SetCallConnFactory({});
    result.Clear();
    EXPECT_EQ(CallRows(result, errorText), kResultComplete) << errorText;
    EXPECT_EQ(result.RecordCount(), kReplyRows);
  }
}

TEST_F(ClientFault, AConnectionThatCannotBeMadeIsRetriedWithinTheTimeOutThenReported) {
  TquvClientCfg::SetTimeout(200);
  int32_t attempts = 0;
  SetCallConnFactory([&attempts](const std::string&) -> std::unique_ptr<TCustomConn> {
    ++attempts;
    throw Exception("connect refused here");
  });
  TquvRecordset result;
  std::string errorText;
  EXPECT_EQ(CallRows(result, errorText), kResultError);
  EXPECT_EQ(errorText, kErrorStart + "connect refused here");
  EXPECT_GT(attempts, 1);
}

}  // namespace
}  // namespace quv
