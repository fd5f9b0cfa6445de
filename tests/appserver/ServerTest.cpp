#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "appserver/quvRecordsetBytes.h"
#include "appserver/quvServerLog.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "server/common/quvIntfRegistry.h"
#include "server/common/quvRecordset.h"
#include "tests/appserver/ServerCalls.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/FaultConn.h"
#include "tests/kit/LoopbackAddress.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TempFolder.h"
#include "tests/kit/TestScope.h"
#include "transport/quvClientConn.h"
#include "transport/quvpack.h"

namespace quv {
namespace {

using testing::Call;
using testing::MessageOf;
using testing::Parameters;
using testing::Recordset;
using testing::Request;
using testing::TByteBuilder;
using testing::TFault;
using testing::TFaultConn;
using testing::TReply;
using testing::TServerProcess;

// A plain TCP client of the server, for bytes no package would send.
class TRawClient final {
 public:
  explicit TRawClient(uint16_t port) : FFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = testing::LoopbackAddress(port);
    EXPECT_EQ(::connect(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  ~TRawClient() { ::close(FFd); }

  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void Send(std::string_view bytes) { Send(std::vector<uint8_t>(bytes.begin(), bytes.end())); }
  void EndSending() { ::shutdown(FFd, SHUT_WR); }
  // What arrives until the server closes, up to `limit` bytes; false in
  // `closed` when the server kept the connection open for 20 s.
  std::string Receive(bool& closed, std::size_t limit = 1 << 20) {
    std::string received;
    closed = false;
    pollfd waiter{FFd, POLLIN, 0};
    while (received.size() < limit && ::poll(&waiter, 1, 20000) == 1) {
      char buffer[4096];
      const ssize_t count =
          ::recv(FFd, buffer, std::min(sizeof buffer, limit - received.size()), 0);
      if (count <= 0) {
        closed = true;
        break;
      }
      received.append(buffer, static_cast<std::size_t>(count));
    }
    return received;
  }

 private:
  int FFd;
};

class ServerCall : public ::testing::Test {
 protected:
  TReply CallOnce(const TquvCommandHeader& header, std::string_view context,
                  const std::vector<uint8_t>& parameters) {
    TClientConn conn(FServer.Address(), false);
    return Call(conn, header, context, parameters);
  }

  TServerProcess FServer{{"--probe-interval", "10"}};
};

TEST_F(ServerCall, EchoAnswersTheParametersWithTheRequestEchoedInTheHeader) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += "linha " + std::to_string(i % 97) + ";";
  const std::vector<uint8_t> parameters = Recordset(data);
  TClientConn conn(FServer.Address(), false);
  for (const bool compressed : {false, true}) {
    const TquvCommandHeader request = Request("quvtest.test.echo", compressed);
    const TReply reply = Call(conn, request, "contexto", parameters);
    EXPECT_EQ(reply.Header.ResultKind, 1);
    EXPECT_EQ(reply.Header.RequestNumber, request.RequestNumber);
    EXPECT_EQ(reply.Header.MethodName, request.MethodName);
    EXPECT_EQ(reply.Header.MethodNumber, request.MethodNumber);
    EXPECT_EQ(reply.Header.Compression, request.Compression);
    EXPECT_EQ(reply.Recordset, parameters) << "compressed " << compressed;
  }
  const TReply empty = Call(conn, Request("QUVTEST.TEST.ECHO"), "", {});
  EXPECT_EQ(empty.Header.ResultKind, 3);  // no parameters: a reply without a recordset
}

TEST_F(ServerCall, FailuresUnknownMethodsAndMissingParametersAnswerAnErrorText) {
  TClientConn conn(FServer.Address(), false);
  TReply reply = Call(conn, Request("quvtest.test.nope"), "", Recordset("x"));
  EXPECT_EQ(reply.Header.ResultKind, 2);
  EXPECT_EQ(reply.Text, "Método desconhecido: quvtest.test.nope"_cp);
  reply = Call(conn, Request("quvtest.test.wait"), "muitas", {});
  EXPECT_EQ(reply.Text, "quvtest.test.wait needs a probe count as its context");
  const auto parameters = Parameters("quvtest.test.fail", {TVariant("Falhou no cálculo"_cp)});
  TquvRecordset result;
  reply = Call(conn, Request("quvtest.test.fail"), parameters.get(), result);
  EXPECT_EQ(reply.Header.ResultKind, 2);
  EXPECT_EQ(reply.Text, "Falhou no cálculo"_cp);
  reply = Call(conn, Request("quvtest.test.fail"), nullptr, result);
  EXPECT_EQ(reply.Text, "quvtest.test.fail needs the parameter message");
  EXPECT_EQ(Call(conn, Request("quvtest.test.echo"), "", Recordset("y")).Recordset, Recordset("y"));
}

TEST_F(ServerCall, RowsAndPartialAnswerTheirTaskRows) {
  const auto parameters = Parameters("quvtest.test.rows", {TVariant(10000)});
  TClientConn conn(FServer.Address(), false);
  for (const bool compressed : {false, true}) {
    TquvRecordset result;
    const TReply reply =
        Call(conn, Request("quvtest.test.rows", compressed), parameters.get(), result);
    ASSERT_EQ(reply.Header.ResultKind, 1) << reply.Text;
    EXPECT_EQ(reply.Header.RowCount, 10000);
    ASSERT_EQ(result.RecordCount(), 10000);
    result.Last();
    EXPECT_EQ(result.GetFieldValue("count").ToInteger(), 10000);
    EXPECT_EQ(result.GetFieldValue("requestid").ToText(), "10000");
    EXPECT_EQ(result.GetFieldValue("clientdesc").ToText(), "cliente 10000");
    for (const char* field : {"requestdesc", "ellapsedtime", "systemcmd", "username", "cancelled"})
      EXPECT_FALSE(result.GetFieldValue(field).ToText().empty()) << field;
  }
  TquvRecordset result;
  const auto tooMany = Parameters("quvtest.test.rows", {TVariant(-1)});
  EXPECT_EQ(Call(conn, Request("quvtest.test.rows"), tooMany.get(), result).Header.ResultKind, 2);
  // The partial method answers its rows as an incomplete reply.
  TquvRecordset partial;
  const TReply reply = Call(conn, Request("quvtest.test.partial"), nullptr, partial);
  ASSERT_EQ(reply.Header.ResultKind, 0) << reply.Text;
  EXPECT_EQ(reply.Header.RowCount, 3);
  ASSERT_EQ(partial.RecordCount(), 3);
  partial.Last();
  EXPECT_EQ(partial.GetFieldValue("requestid").ToText(), "3");
}

TEST_F(ServerCall, SleepProbesTheClientAndAnswersItsParameters) {
  const auto parameters = Parameters("quvtest.test.sleep", {TVariant(1000)});
  TClientConn conn(FServer.Address(), false);
  TquvRecordset result;
  const TReply reply = Call(conn, Request("quvtest.test.sleep", true), parameters.get(), result);
  EXPECT_GT(reply.Probes, 0);  // probes every 10 ms during a second
  ASSERT_EQ(result.RecordCount(), 1);
  result.First();
  EXPECT_EQ(result.GetFieldValue("ms").ToInteger(), 1000);
}

TEST(ServerAcknowledgement, ALongCallIsAcknowledgedLongBeforeItsReply) {
  TServerProcess server({"--probe-interval", "3600000"});  // no probe carries it out
  const auto parameters = Parameters("quvtest.test.sleep", {TVariant(2000)});
  TClientConn conn(server.Address(), true);
  TquvPackage package(conn);
  TquvPackageWriter writer(package);
  package.BeginSend();
  writer.WriteCommandHeader(Request("quvtest.test.sleep"), "");
  writer.WriteCommandAsRecordset(parameters.get(), false, false);
  writer.EndCommand();
  EXPECT_NO_THROW(package.EndSend(1000));
  EXPECT_EQ(package.ReadSignature(5000), TquvSignature::Call);
}

TEST(RecordsetItems, NeedARecordsetAndAFailedLoadLeavesItEmpty) {
  TMemoryStream wire;
  TquvPackage package(wire);
  TquvPackageWriter writer(package);
  EXPECT_EQ(MessageOf([&] { writer.WriteCommandAsRecordset(nullptr, false, false); }),
            "Recordset needed at TquvPackageWriter.WriteCommandAsRecordset");
  const auto rows = Parameters("quvtest.test.echo", {TVariant(1)});
  writer.WriteCommandAsRecordset(rows.get(), true, false);
  package.Flush(0);
  const std::vector<uint8_t> bad = TByteBuilder().I32(pack_dt_recordset).U8(7).Bytes();
  wire.WriteBuffer(bad.data(), static_cast<int32_t>(bad.size()));
  wire.Seek(0, TSeekOrigin::Beginning);
  TquvPackageReader reader(package);
  EXPECT_EQ(MessageOf([&] { reader.ReadCommandAsRecordset(nullptr); }),
            "Recordset needed at TquvPackageReader.ReadCommandAsRecordset");
  wire.Seek(0, TSeekOrigin::Beginning);
  TquvRecordset loaded("", "quvtest.test.echo");
  reader.ReadCommandAsRecordset(&loaded);
  EXPECT_EQ(loaded.RecordCount(), 1);
  EXPECT_NE(MessageOf([&] { reader.ReadCommandAsRecordset(&loaded); }), "(no error)");
  EXPECT_EQ(loaded.RecordCount(), 0);
}

// Quick calls leave their probe deadlines cancelled; the slow call after them
// must still be woken for.
TEST_F(ServerCall, ASlowCallAfterQuickOnesOnTheSameConnectionIsProbed) {
  TClientConn conn(FServer.Address(), false);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(Call(conn, Request("quvtest.test.echo"), "", Recordset("rápida")).Header.ResultKind,
              1);
  const TReply reply = Call(conn, Request("quvtest.test.wait", true), "3", Recordset("devagar"));
  EXPECT_GE(reply.Probes, 3);
  EXPECT_EQ(reply.Header.ResultKind, 1);
  EXPECT_EQ(reply.Recordset, Recordset("devagar"));
}

TEST_F(ServerCall, CloseSignatureEndsTheConnection) {
  TRawClient client(FServer.Port());
  client.Send("QUVC");
  bool closed = false;
  EXPECT_EQ(client.Receive(closed), "");
  EXPECT_TRUE(closed);
}

// The bytes of a request up to the context marker.
TByteBuilder CommandHead(const std::string& method = "quvtest.test.echo", bool compressed = false) {
  const TCommandHeaderBytes header = EncodeCommandHeader(Request(method, compressed));
  return TByteBuilder()
      .Raw("QUV1")
      .I32(pack_dt_command_h)
      .I32(kCommandHeaderSize)
      .Raw(std::string(header.begin(), header.end()))
      .I32(pack_dt_context);
}

// The bytes of a request up to its (empty) context block.
TByteBuilder RequestHead(bool compressed = false) {
  return CommandHead("quvtest.test.echo", compressed).I32(0);
}

TEST_F(ServerCall, HostileRequestsCloseTheConnectionAndTheServerCarriesOn) {
  const std::vector<uint8_t> valid = Recordset("ok");
  const TByteBuilder cases[] = {
      TByteBuilder().Raw("XXXX"),
      TByteBuilder().Raw("QUV1").I32(pack_dt_context),
      TByteBuilder().Raw("QUV1").I32(pack_dt_command_h).I32(131),
      CommandHead().I32(-5),
      CommandHead().I32(2147483647).Raw("tiny"),
      RequestHead().I32(pack_dt_text),
      RequestHead().I32(pack_dt_recordset).U8(7),
      RequestHead().I32(pack_dt_recordset).U8(1).U8(8).I32(4).I32(0),
      RequestHead().I32(pack_dt_recordset).U8(1).U8(0).I32(-1),
      RequestHead().I32(pack_dt_recordset).U8(1).U8(0).I32(4).I32(0).I32(2147483647).Raw("x"),
      RequestHead(true).I32(pack_dt_recordset_z).I32(70000),
      RequestHead(true).I32(pack_dt_recordset_z).I32(3).U8(0x40).U8(0xFF).U8(0xFF),
      RequestHead().I32(pack_dt_recordset).Append(valid).I32(pack_dt_command_h),
  };
  for (const TByteBuilder& bytes : cases) {
    TRawClient client(FServer.Port());
    client.Send(bytes.Bytes());
    client.EndSending();
    bool closed = false;
    EXPECT_EQ(client.Receive(closed), "");  // not even an acknowledgement
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(CallOnce(Request("quvtest.test.echo"), "", valid).Recordset, valid);
  EXPECT_TRUE(FServer.Running());
}

// Connections wait in the accept loop until they send: one that sends late is
// served then, others are served meanwhile, and closed ones are dropped.
TEST_F(ServerCall, ConnectionsAreServedWhenTheirFirstRequestArrives) {
  TClientConn late(FServer.Address(), true);
  for (int i = 0; i < 40; ++i) TRawClient probe(FServer.Port());
  EXPECT_EQ(CallOnce(Request("quvtest.test.echo"), "", Recordset("a")).Header.ResultKind, 1);
  EXPECT_EQ(Call(late, Request("quvtest.test.echo"), "", Recordset("b")).Header.ResultKind, 1);
  TServerProcess limited({"--max-connections", "2"});
  for (int i = 0; i < 10; ++i) TRawClient probe(limited.Port());
  TClientConn after(limited.Address(), true);
  EXPECT_EQ(Call(after, Request("quvtest.test.echo"), "", Recordset("c")).Header.ResultKind, 1);
}

TEST_F(ServerCall, AClientBeyondTheConnectionLimitIsRefused) {
  TServerProcess server({"--max-connections", "1"});
  TClientConn first(server.Address(), true);
  EXPECT_EQ(Call(first, Request("quvtest.test.echo"), "", Recordset("a")).Header.ResultKind, 1);
  TRawClient second(server.Port());
  bool closed = false;
  EXPECT_EQ(second.Receive(closed), "QUVC");
  EXPECT_TRUE(closed);
}

TEST_F(ServerCall, TerminationStopsARunningCallAndEndsCleanly) {
  TClientConn idle(FServer.Address(), true);
  EXPECT_EQ(Call(idle, Request("quvtest.test.echo"), "", Recordset("a")).Header.ResultKind, 1);
  TRawClient reading(FServer.Port());
  reading.Send(RequestHead().Bytes());  // the server waits for the rest of this request
  TRawClient waiting(FServer.Port());
  waiting.Send(CommandHead("quvtest.test.wait").Text(4, "1000000").I32(pack_dt_eof).Bytes());
  bool closed = false;
  EXPECT_EQ(waiting.Receive(closed, 6), "RECVOK");  // the method runs now
  const int status = FServer.Stop();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ServerOptions, HelpDescribesEveryOptionAndBadOptionsAreRefused) {
  int status = 0;
  const std::string text = testing::OutputOf(QUV_SERVER_BINARY " --help", status);
  EXPECT_EQ(status, 0);
  for (const char* option :
       {"--listen", "--port", "--max-connections", "--probe-interval", "--files", "--verbose",
        "--demo", "--seed", "--demo-scale", "--help", "--version", "--locator-port",
        "--locator-listen", "--locator-answer", "--locator-validity"})
    EXPECT_NE(text.find(option), std::string::npos) << option;
  TTempFolder folder;
  const auto failure = [&](const std::string& arguments) {
    const testing::TProgramRun run =
        testing::RunProgram(folder.Path(), std::string(QUV_SERVER_BINARY) + " " + arguments);
    return std::to_string(run.Status) + " " + run.Err;
  };
  EXPECT_EQ(failure("--bogus"), "2 quvserver: unknown option '--bogus'\nTry 'quvserver --help'.\n");
  EXPECT_EQ(failure("--port"),
            "2 quvserver: --port: 1 required N missing\nTry 'quvserver --help'.\n");
  EXPECT_EQ(failure("--port 70000"),
            "2 quvserver: --port: Value 70000 not in range 0 to 65535\nTry 'quvserver --help'.\n");
  EXPECT_EQ(failure("--files /nonexistent/quv"),
            "2 quvserver: --files: needs an existing directory, not /nonexistent/quv\nTry "
            "'quvserver --help'.\n");
  // An echo of a long argument is cut.
  EXPECT_LT(failure("--listen " + std::string(5000, '1')).size(), 450u);
  EXPECT_EQ(failure("--help > /dev/full"),
            "1 quvserver: cannot write to standard output: No space left on device\n");
  EXPECT_EQ(testing::OutputOf(QUV_SERVER_BINARY " --version", status).rfind("quvserver ", 0), 0u);
}

TEST(ServerStart, ATakenPortAndALostStandardOutputEndTheServerWithTheirReason) {
  TServerProcess running;
  TTempFolder folder;
  const std::string port = std::to_string(running.Port());
  const testing::TProgramRun taken = testing::RunProgram(
      folder.Path(), std::string(QUV_SERVER_BINARY) + " --port " + port + " --locator-port 0");
  EXPECT_EQ(taken.Status, 1);
  EXPECT_EQ(taken.Err,
            "quvserver: cannot listen on 127.0.0.1:" + port + ": Address already in use\n");
  const testing::TProgramRun full = testing::RunProgram(
      folder.Path(), std::string(QUV_SERVER_BINARY) + " --port 0 --locator-port 0 > /dev/full");
  EXPECT_EQ(full.Status, 1);
  EXPECT_EQ(full.Err, "quvserver: cannot write to standard output: No space left on device\n");
}

TEST(ServerLog, LinesAreUtf8WithControlCharactersShown) {
  TTempFolder folder;
  const std::string logFile = folder.Path() + "/log.txt";
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  const int file = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(file, STDERR_FILENO);
  ServerLogLine("M\xE9todo desconhecido: a\x1B[2Jb");
  ::dup2(saved, STDERR_FILENO);
  ::close(file);
  ::close(saved);
  EXPECT_EQ(testing::FileBytes(logFile), "quvserver: Método desconhecido: a\\x1B[2Jb\n");
}

// A failing read or write of a real connection, at every point of a call.
class ServerFault : public ::testing::Test {
 protected:
  // The message of one echo call over a fresh connection whose `nth` read
  // (or write) fails with `fault`; `reached` tells whether the call got that far.
  std::string FailedCall(bool read, int32_t nth, TFault fault, bool& reached) {
    TClientConn conn(FServer.Address(), true);
    TFaultConn faulty(conn, &FClock);
    (read ? faulty.FailRead(nth, fault) : faulty.FailWrite(nth, fault));
    const std::string message =
        MessageOf([&] { Call(faulty, Request("quvtest.test.echo", true), "", FParameters); });
    reached = (read ? faulty.Reads() : faulty.Writes()) >= nth;
    return message;
  }
  // Runs `check`(read, nth) for every read and then every write of an
  // undisturbed call.
  template <class F>
  void ForEveryOperation(F check) {
    const auto [reads, writes] = Operations();
    for (int32_t nth = 1; nth <= reads; ++nth) check(true, nth);
    for (int32_t nth = 1; nth <= writes; ++nth) check(false, nth);
  }
  // The reads and the writes of a call that nothing disturbs.
  std::pair<int32_t, int32_t> Operations() {
    TClientConn conn(FServer.Address(), true);
    TFaultConn counted(conn, &FClock);
    EXPECT_EQ(Call(counted, Request("quvtest.test.echo", true), "", FParameters).Recordset,
              FParameters);
    return {counted.Reads(), counted.Writes()};
  }

  TManualClock& FClock = testing::TestManualClock();
  TServerProcess FServer{{"--max-connections", "1000"}};
  const std::vector<uint8_t> FParameters = Recordset(std::string(30000, 'z') + "fim");
};

TEST_F(ServerFault, AConnectionLostAtAnyPointGivesTheNoConnectionError) {
  ForEveryOperation([&](bool read, int32_t nth) {
    bool reached = false;
    const std::string message = FailedCall(read, nth, TFault::Gone, reached);
    EXPECT_EQ(message, reached ? kNoConnectionMessage : "(no error)") << read << " " << nth;
  });
  Operations();  // the server serves on
}

TEST_F(ServerFault, AnEmptyWaitAtAnyPointIsWaitedOut) {
  ForEveryOperation([&](bool read, int32_t nth) {
    bool reached = false;
    EXPECT_EQ(FailedCall(read, nth, TFault::Nothing, reached), "(no error)") << read << " " << nth;
  });
}

TEST_F(ServerFault, AStallAtAnyPointEndsInATimeOutError) {
  ForEveryOperation([&](bool read, int32_t nth) {
    bool reached = false;
    const std::string message = FailedCall(read, nth, TFault::Stall, reached);
    if (!reached) return;
    EXPECT_TRUE(message == kNotConfirmedMessage || message == kNoDataMessage ||
                message == kPackageReceiveErrorMessage)
        << read << " " << nth << ": " << message;
  });
  Operations();  // the server serves on
}

}  // namespace
}  // namespace quv
