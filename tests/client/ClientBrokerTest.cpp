// Calls through the tests' broker bridge, which lies beside this program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "client/quvClient.h"
#include "client/quvExecCommand.h"
#include "platform/DynamicLibrary.h"
#include "platform/ExePath.h"
#include "platform/StrUtils.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/bridge/TestBridge.h"

namespace quv {
namespace {

// The bridge beside the program, loaded again for its test controls (the
// same library, so the same contexts).
const TDynamicLibrary& BridgeControl() {
  static const TDynamicLibrary library =
      TDynamicLibrary::Load(LibraryFileNameBesideExecutable(kBrokerBridgeLibrary));
  return library;
}

template <class F>
F* BridgeFunction(const char* name) {
  F* function = BridgeControl().Function<F>(name);
  if (function == nullptr) throw Exception(std::string("the test bridge lacks ") + name);
  return function;
}

void SetContext(const TTestBridgeContext* fields) {
  BridgeFunction<TTestBridgeSetContextFunc>("TestBridgeSetContext")(fields);
}

// Everything the program's "LOG" files hold so far.
std::string CallLog() {
  std::string all;
  const std::filesystem::path folder = ExtractFileDir(ExecutablePath()) + "/trace";
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
    if (item.path().filename().string().rfind("client_broker_testsLOG_", 0) != 0) continue;
    std::ifstream file(item.path(), std::ios::binary);
    all += std::string(std::istreambuf_iterator<char>(file), {});
  }
  return all;
}

class BrokerCall : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ClientBrokerBridge().HasGetContext()); }
  void TearDown() override { SetContext(nullptr); }
};

TEST_F(BrokerCall, ARecordsetReplyBecomesTheRows) {
  TTestBridgeContext fields;
  SetContext(&fields);
  std::unique_ptr<TquvClientRecordset> reply;
  ExecMethod("quvtest.test.echo", {"code", "name"}, {31, "pelo broker"}, reply);
  ASSERT_EQ(reply->RecordCount(), 1);
  EXPECT_EQ(reply->GetFieldValue("code").ToInteger(), 31);
  EXPECT_EQ(reply->GetFieldValue("name").ToText(), "pelo broker");
  EXPECT_TRUE(reply->ReplyComplete());
  std::string method, context;
  BridgeFunction<TTestBridgeLastCallFunc>("TestBridgeLastCall")(&method, &context);
  EXPECT_EQ(method, "quvtest.test.echo");
  EXPECT_EQ(context, "");  // no process information block through the broker

  // Compression is never asked for, and options do not queue.
  TquvClientRecordset call;
  call.SetDefinition("quvtest.test.echo");
  call.Compress = true;
  call.SetOption(1);
  EXPECT_FALSE(call.Asynchronous());
  TquvRecordset parameters("", "quvtest.test.echo");
  parameters.AppendValues(std::vector<TVariant>{TVariant(5)});
  call.Execute(&parameters);
  EXPECT_EQ(call.Header().Compression, 0);
  EXPECT_EQ(call.ErrorText(), "");
}

TEST_F(BrokerCall, StatusTwoIsAnErrorTextAndBothLogLinesAreWritten) {
  TTestBridgeContext fields;
  fields.LogLevel = 1;
  fields.EchoInput = false;
  fields.Status = 2;
  fields.Output = "Falhou no broker";
  SetContext(&fields);
  const std::string before = CallLog();
  std::unique_ptr<TquvClientRecordset> reply;
  EXPECT_EQ(testing::MessageOf<EquvRemoteError>(
                [&] { ExecMethod("quvtest.test.fail", {"message"}, {"x"}, reply); }),
            "Falhou no broker");
  TquvClientRecordset call;
  call.SetDefinition("quvtest.test.fail");
  call.Execute(nullptr);
  EXPECT_EQ(call.RecordCount(), 0);
  EXPECT_EQ(call.ErrorText(), "Falhou no broker");

  const std::string after = CallLog();
  const std::string start = "QUVCLIENT_CALL_START quvtest.test.fail";
  const std::string end = "QUVCLIENT_CALL_END quvtest.test.fail ";
  EXPECT_EQ(testing::CountOf(after, start) - testing::CountOf(before, start), 2u) << after;
  EXPECT_EQ(testing::CountOf(after, end) - testing::CountOf(before, end), 2u) << after;
}

TEST_F(BrokerCall, AReplyThatIsNoRecordsetFailsTheCall) {
  // Broken bytes, and no bytes at all: neither is a serialised recordset.
  for (const std::string& output : {std::string("\x01\x00\xff\xff\xff\x7f", 6), std::string()}) {
    TTestBridgeContext fields;
    fields.EchoInput = false;
    fields.Output = output;
    SetContext(&fields);
    std::unique_ptr<TquvClientRecordset> reply;
    const std::string message = testing::MessageOf<EquvRemoteError>(
        [&] { ExecMethod("quvtest.test.echo", {"code"}, {1}, reply); });
    EXPECT_EQ(message.rfind("Erro chamando quvtest.test.echo:", 0), 0u) << message;
  }
}

}  // namespace
}  // namespace quv
