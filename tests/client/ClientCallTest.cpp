#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/quvCallSeams.h"
#include "client/quvClient.h"
#include "client/quvExecCommand.h"
#include "client/quvMessageBus.h"
#include "client/quvNotifyHub.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/LoopbackServer.h"
#include "tests/kit/ServerProcess.h"
#include "tests/kit/TestScope.h"
#include "transport/quvClientCfg.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TLoopbackServer;
using testing::TServerProcess;

const std::vector<std::string> kEchoNames = {"code", "name", "amount", "active", "note"};

// Restores the default client settings when a test changed them.
struct TSettingsGuard {
  ~TSettingsGuard() { TquvClientCfg::LoadFrom("/nonexistent/store", "/nonexistent/quvclient.ini"); }
};

class ClientCall : public ::testing::Test {
 protected:
  TServerProcess FServer{{"--probe-interval", "10"}};
  TSettingsGuard FSettings;
};

TEST_F(ClientCall, NamedParametersComeBackWithEmptyTextsAsNull) {
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("quvtest.test.echo", kEchoNames, {42, "Conceição"_cp, TquvCurrency{1234500}, true, ""},
             reply, FServer.Address());
  ASSERT_EQ(reply->RecordCount(), 1);
  EXPECT_EQ(reply->GetFieldValue("code").ToInteger(), 42);
  EXPECT_EQ(reply->GetFieldValue("name").ToText(), "Conceição"_cp);
  EXPECT_EQ(reply->GetFieldValue("amount").ToCurrency(), 1234500);
  EXPECT_TRUE(reply->GetFieldValue("active").ToBoolean());
  EXPECT_TRUE(reply->IsNull(reply->FieldIndex("note")));
  EXPECT_TRUE(reply->ReplyComplete());
  EXPECT_EQ(reply->Header().ResultKind, 1);
  EXPECT_EQ(reply->ErrorText(), "");
}

TEST_F(ClientCall, PositionalAndMissingParametersFillFieldsInOrder) {
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("quvtest.test.echo", {}, {7, 'x'}, reply, FServer.Address());
  ASSERT_EQ(reply->RecordCount(), 1);
  EXPECT_EQ(reply->GetFieldValueByIndex(0).ToInteger(), 7);
  EXPECT_EQ(reply->GetFieldValueByIndex(1).ToText(), "x");
  EXPECT_TRUE(reply->IsNull(2));

  // A single empty name and no values: one row with every field null.
  ExecMethod("quvtest.test.echo", {""}, {}, reply, FServer.Address());
  ASSERT_EQ(reply->RecordCount(), 1);
  for (int32_t i = 0; i < reply->FieldCount(); ++i) EXPECT_TRUE(reply->IsNull(i)) << i;
}

TEST_F(ClientCall, MismatchedNamesFailBeforeAnythingIsSent) {
  TLoopbackServer listener;
  std::unique_ptr<TquvClientRecordset> reply;
  const auto call = [&] {
    ExecMethod("quvtest.test.echo", {"code", "name"}, {1}, reply, listener.Address());
  };
  // A remote error would be caught inside and give "(no error)" outside.
  EXPECT_EQ(MessageOf([&] { MessageOf<EquvRemoteError>(call); }),
            "Parameter list and names don't match");
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(listener.Accepted(), 0u);
}

TEST_F(ClientCall, AServerErrorTextIsRaisedAndRecorded) {
  std::unique_ptr<TquvClientRecordset> reply;
  EXPECT_EQ(MessageOf<EquvRemoteError>([&] {
              ExecMethod("quvtest.test.fail", {"message"}, {"Falhou no cálculo"_cp}, reply,
                         FServer.Address());
            }),
            "Falhou no cálculo"_cp);
  EXPECT_EQ(reply, nullptr);

  // Without raising, the recordset keeps the error and no rows.
  TquvClientRecordset call;
  call.SetDefinition(FServer.Address() + "@:quvtest.test.fail");
  TquvRecordset parameters("", "quvtest.test.fail");
  parameters.SetFieldValue("message", TVariant("sem linhas"));
  call.Execute(&parameters);
  EXPECT_EQ(call.RecordCount(), 0);
  EXPECT_TRUE(call.Eof());
  EXPECT_EQ(call.ErrorText(), "sem linhas");
  EXPECT_EQ(call.Header().ResultKind, 2);
  EXPECT_FALSE(call.Executing());
  EXPECT_EQ(call.PendingCalls(), 0);
}

TEST_F(ClientCall, TheDebugSettingPrefixesRemoteErrors) {
  const std::string ini = ::testing::TempDir() + "quvclient_debug.ini";
  std::ofstream(ini) << "[CLIENT]\nDEBUG=1\n";
  TquvClientCfg::LoadFrom("/nonexistent/store", ini);
  std::remove(ini.c_str());
  std::unique_ptr<TquvClientRecordset> reply;
  EXPECT_EQ(MessageOf<EquvRemoteError>([&] {
              ExecMethod("quvtest.test.fail", {"message"}, {"falhou"}, reply, FServer.Address());
            }),
            "Remote Error:falhou");
}

TEST_F(ClientCall, TheDefinitionNamesHostAndDataSourceAndTheHostArgumentWins) {
  TquvClientRecordset call;
  call.SetDefinition("10.0.0.5@DS:quvtest.test.echo");
  EXPECT_EQ(call.Host(), "10.0.0.5");
  EXPECT_EQ(call.DataSource(), "DS");
  EXPECT_EQ(call.MethodName(), "quvtest.test.echo");
  EXPECT_EQ(call.FieldCount(), 5);
  call.SetDefinition("quvtest.test.fail");
  EXPECT_EQ(call.Host(), "");
  EXPECT_EQ(call.DataSource(), "");
  EXPECT_THROW(call.SetDefinition("10.0.0.9@DS:quvtest.test.missing"), TquvInterfaceError);
  EXPECT_EQ(call.Host(), "");
  EXPECT_EQ(call.DataSource(), "");
  EXPECT_EQ(call.MethodName(), "quvtest.test.fail");

  // Nobody listens on 127.0.0.2: the call reaches the server only when the
  // argument replaces the definition's host. The data source travels as a tag.
  TquvClientCfg::SetTimeout(2000);
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("127.0.0.2@DS:quvtest.test.echo", {"code"}, {5}, reply, FServer.Address());
  EXPECT_EQ(reply->GetFieldValue("code").ToInteger(), 5);
  EXPECT_EQ(reply->Tags().Tag(kDefaultDataSourceTag), "DS");
}

TEST_F(ClientCall, ExecMethodValuesGivesTheFirstRowOrEmptyValues) {
  TVariant row;
  EXPECT_TRUE(
      ExecMethodValues("quvtest.test.echo", {"code", "name"}, {9, "nove"}, row, FServer.Address()));
  ASSERT_EQ(row.Items().size(), 5u);
  EXPECT_EQ(row.Items()[0].ToInteger(), 9);
  EXPECT_EQ(row.Items()[1].ToText(), "nove");

  EXPECT_FALSE(ExecMethodValues("quvtest.test.rows", {"count"}, {0}, row, FServer.Address()));
  ASSERT_EQ(row.Items().size(), 8u);
  for (const TVariant& value : row.Items()) EXPECT_TRUE(value.IsEmpty());
}

TEST_F(ClientCall, CompressedRepliesRowLimitsAndProbesAnswered) {
  TquvClientRecordset call;
  call.SetDefinition(FServer.Address() + "@quvtest.test.rows");
  call.Compress = true;
  TquvRecordset parameters("", "quvtest.test.rows");
  parameters.SetFieldValue("count", TVariant(3000));
  call.Execute(&parameters);
  EXPECT_EQ(call.RecordCount(), 3000);
  EXPECT_EQ(call.Header().Compression, 1);
  call.Last();
  EXPECT_EQ(call.GetFieldValue("clientdesc").ToText(), "cliente 3000");
  EXPECT_EQ(call.Header().RowsSoFar, 3000);

  // With a row limit the call goes as kind 3, its parameters still sent.
  TquvClientRecordset limited;
  limited.SetDefinition(FServer.Address() + "@quvtest.test.rows");
  limited.RowLimit = 5;
  parameters.SetFieldValue("count", TVariant(7));
  limited.Execute(&parameters);         // stores the changed row first
  EXPECT_EQ(limited.RecordCount(), 7);  // this server answers every row

  // The thread's call context reaches the server: test.wait waits for probes.
  SetThreadCallContext("3");
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("quvtest.test.wait", {"code"}, {1}, reply, FServer.Address());
  SetThreadCallContext("");
  EXPECT_EQ(reply->GetFieldValue("code").ToInteger(), 1);
}

TEST_F(ClientCall, AMissingServerFailsWithinTheTimeoutAndALateAcknowledgementIsAwaited) {
  EXPECT_EQ(ConnectTimeoutFor("quvsystem.tasks.cancel", 600000), 5000);
  EXPECT_EQ(ConnectTimeoutFor("quvsystem.tasks.cancel", 500), 500);
  EXPECT_EQ(ConnectTimeoutFor("quvsystem.tasks.list", 600000), 15000);
  TquvClientCfg::SetTimeout(300);
  const std::string refused = "127.0.0.1:" + std::to_string(testing::UnusedPort());
  const uint32_t start = Clock().TickCount();
  std::unique_ptr<TquvClientRecordset> reply;
  const std::string refusal = MessageOf<EquvRemoteError>(
      [&] { ExecMethod("quvtest.test.echo", {"code"}, {1}, reply, refused); });
  EXPECT_EQ(refusal.rfind("Erro chamando quvtest.test.echo:", 0), 0u) << refusal;
  EXPECT_LT(Clock().TickCount() - start, 10000u);  // far below 15 s of connection attempts

  // The request's acknowledgement may take up to 20000 ms, whatever the call
  // time-out: one that comes after 1000 ms is still taken.
  testing::TestManualClock();
  TLoopbackServer peer;
  std::string message;
  std::thread caller([&] {
    message = MessageOf<EquvRemoteError>(
        [&] { ExecMethod("quvtest.test.echo", {"code"}, {1}, reply, peer.Address()); });
  });
  const std::string requestEnd("\xec\x03\x00\x00", 4);  // pack_dt_eof
  std::string received;
  while (!received.ends_with(requestEnd)) {
    const std::string more = peer.WaitForReceived(0, received.size() + 1);
    ASSERT_GT(more.size(), received.size());
    received = more;
  }
  testing::TestManualClock().Advance(1000);
  // Lets the client's socket wait run out at least once with the clock past
  // the call time-out; only the acknowledgement's own wait keeps it going.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  peer.Send(0, "RECVOKQUVC");  // then the server closes: a lost connection, not a missing ACK
  caller.join();
  EXPECT_EQ(message, "Erro chamando quvtest.test.echo:" + std::string(kNoConnectionMessage));
}

TEST_F(ClientCall, CallsFromSeveralThreadsAtOnceKeepTheirOwnReplies) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 25;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const int32_t code = t * 1000 + i;
        TVariant row;
        try {
          if (!ExecMethodValues("quvtest.test.echo", {"code"}, {code}, row, FServer.Address()) ||
              row.Items()[0].ToInteger() != code)
            ++wrong[t];
        } catch (const std::exception&) {
          ++wrong[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

TEST_F(ClientCall, AConnectionLeftInAnUnknownStateIsNotPooledAsItIs) {
  TLoopbackServer peer;
  TquvClientCfg::SetTimeout(5000);
  // The acknowledgement, a reply signature, then a marker that is no item.
  const std::string inconsistent("RECVOKQUV1\x0f\x27\x00\x00", 14);
  for (std::size_t call = 0; call < 2; ++call) {
    std::string message;
    std::thread caller([&] {
      std::unique_ptr<TquvClientRecordset> reply;
      message = MessageOf<EquvRemoteError>(
          [&] { ExecMethod("quvtest.test.echo", {"code"}, {1}, reply, peer.Address()); });
    });
    // The second call must come on a new connection, not on the spoilt one.
    ASSERT_TRUE(peer.WaitForConnections(call + 1));
    peer.Send(call, inconsistent);
    caller.join();
    EXPECT_EQ(message, "Erro chamando quvtest.test.echo:Inconsistent package communication");
  }
  EXPECT_TRUE(peer.WaitForClientClose(0));
}

// A queue that keeps what it is given and applies replies when told.
class TKeptQueue final : public IquvCallQueue {
 public:
  void Attach(const std::string& channel) override { Attached.push_back(channel); }
  void Enqueue(TquvQueuedCall call) override { Calls.push_back(std::move(call)); }
  void Cancel(int32_t requestNumber) override { Cancelled.push_back(requestNumber); }
  void Detach(TquvClientRecordset&, const std::string& channel, bool) override {
    Detached.push_back(channel);
  }
  void ApplyLast() {
    TquvQueuedCall& call = Calls.back();
    TquvRecordset empty;
    TquvCommandHeader header = call.Header;
    header.ResultKind = 1;
    call.Recordset->ApplyReply(header, &empty, "");
  }

  std::vector<std::string> Attached;
  std::vector<TquvQueuedCall> Calls;
  std::vector<int32_t> Cancelled;
  std::vector<std::string> Detached;
};

TEST_F(ClientCall, QueuedCallsCarryACopyOfTheCallContextAndTheFreeFlag) {
  IquvCallQueue* const processQueue = CallQueue();
  TKeptQueue queue;
  SetCallQueue(&queue);
  TquvClientRecordset async;
  async.SetDefinition("quvtest.test.echo");
  async.SetOption(1);
  TquvTagBag context;
  context.SetTag("USER", "ana");
  async.SetCallContext(&context);
  async.FreeOnDelivery = true;
  async.Execute(nullptr);
  context.SetTag("USER", "rui");
  async.SetCallContext(nullptr);
  async.FreeOnDelivery = false;
  async.Execute(nullptr);
  ASSERT_EQ(queue.Calls.size(), 2u);
  ASSERT_NE(queue.Calls[0].Context, nullptr);
  EXPECT_EQ(queue.Calls[0].Context->Tag("USER"), "ana");
  EXPECT_TRUE(queue.Calls[0].FreeOwner);
  EXPECT_EQ(queue.Calls[1].Context, nullptr);
  EXPECT_FALSE(queue.Calls[1].FreeOwner);
  SetCallQueue(processQueue);
}

TEST_F(ClientCall, QueuedCallsNeedAQueueAndPendingCallsHoldBackChanges) {
  IquvCallQueue* const processQueue = CallQueue();
  SetCallQueue(nullptr);
  TquvClientRecordset async;
  async.RaiseErrors = true;
  async.SetDefinition("quvtest.test.echo");
  async.SetOption(1);
  // A refused submission raises the general error, never a remote one (which
  // would be caught inside and give "(no error)" outside), and is recorded.
  EXPECT_EQ(MessageOf([&] { MessageOf<EquvRemoteError>([&] { async.Execute(nullptr); }); }),
            "Async execution not avaliable");
  EXPECT_EQ(async.ErrorText(), "Async execution not avaliable");
  EXPECT_FALSE(async.Executing());

  TquvClientRecordset background;
  background.RaiseErrors = true;
  background.Background = true;
  background.SetDefinition("quvtest.test.echo");
  EXPECT_EQ(MessageOf([&] { MessageOf<EquvRemoteError>([&] { background.Execute(nullptr); }); }),
            "Async execution not avaliable");

  TKeptQueue queue;
  SetCallQueue(&queue);
  int32_t changes = 0;
  async.OnChange = [&](TquvRecordset&) { ++changes; };
  async.SetText("canal");
  async.Execute(nullptr);
  async.Execute(nullptr);  // attached once
  ASSERT_EQ(queue.Calls.size(), 2u);
  EXPECT_EQ(queue.Attached, std::vector<std::string>{"canal"});
  EXPECT_EQ(queue.Calls[0].Channel, "canal");
  EXPECT_EQ(queue.Calls[0].TaskName, "quvtest.test.echo em ");
  EXPECT_TRUE(async.Executing());
  async.ForgetCall();  // as the queue does for the first call, which the second replaced
  queue.ApplyLast();
  EXPECT_EQ(changes, 0);  // the reply arrived while its call was pending
  EXPECT_EQ(async.PendingCalls(), 0);
  async.Cancel();
  EXPECT_EQ(queue.Cancelled, std::vector<int32_t>{async.Header().RequestNumber});
  async.SetText("outro");
  EXPECT_EQ(queue.Detached, std::vector<std::string>{"canal"});
  SetCallQueue(processQueue);
}

class TKeptBus final : public IquvMessageBus {
 public:
  void Publish(const std::string& topic, TRef<IInterface> message) override {
    Messages.push_back(topic + " " + IntfToStr(Supports<IString>(message.Get()).Get()));
  }
  std::vector<std::string> Messages;
};

// Successful calls publish their change through the process hub, and only
// while a hub and a bus are there to take it.
TEST_F(ClientCall, TheProcessHubPostsSuccessfulChangesOnAnInstalledBus) {
  ASSERT_EQ(ChangeNotifier(), static_cast<IquvChangeNotifier*>(&NotifyHub()));
  EXPECT_TRUE(Supports<IquvMessageSubscriber>(static_cast<TCOMObject*>(&NotifyHub())));
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("quvtest.test.echo", {"code"}, {1}, reply, FServer.Address());  // no bus yet
  TKeptBus bus;
  SetMessageBus(&bus);
  SetChangeNotifier(nullptr);
  ExecMethod("quvtest.test.echo", {"code"}, {1}, reply, FServer.Address());  // no hub
  SetChangeNotifier(&NotifyHub());
  ExecMethod("quvtest.test.echo", {"code"}, {1}, reply, FServer.Address());
  EXPECT_THROW(ExecMethod("quvtest.test.fail", {"message"}, {"x"}, reply, FServer.Address()),
               EquvRemoteError);
  SetMessageBus(nullptr);
  EXPECT_EQ(bus.Messages, std::vector<std::string>{"QUVTEST.TEST {\"operation\":0,\"type\":2}"});
}

}  // namespace
}  // namespace quv
