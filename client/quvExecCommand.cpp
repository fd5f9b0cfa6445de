#include "client/quvExecCommand.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "client/ProcessInfo.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/FailureGuard.h"
#include "platform/LittleEndian.h"
#include "transport/quvCallExchange.h"
#include "transport/quvCallKinds.h"
#include "transport/quvClientCfg.h"
#include "transport/quvClientConn.h"
#include "transport/quvlocatorclient.h"

namespace quv {

namespace {

constexpr int32_t kConnectTimeoutMs = 15000;
constexpr int32_t kCancelConnectTimeoutMs = 5000;
constexpr int32_t kAcknowledgeTimeoutMs = 20000;
constexpr int32_t kConnectRetryPauseMs = 50;
constexpr std::size_t kErrorMethodLength = 114;

thread_local std::string GThreadCallContext;

std::string StreamBytes(const TMemoryStream& stream) {
  return std::string(stream.Bytes().begin(), stream.Bytes().end());
}

// The process information block as sent: int32 length, then the text.
std::string ProcessInfoBlock() {
  const std::string text = ProcessInfoText();
  uint8_t length[4];
  PutInt32LE(length, static_cast<int32_t>(text.size()));
  return std::string(reinterpret_cast<const char*>(length), 4) + text;
}

std::string CallContextText(const TquvTagBag* context, bool withBroker) {
  if (context != nullptr) {
    TMemoryStream stream;
    context->SaveToStream(stream);
    return StreamBytes(stream);
  }
  if (!ThreadCallContext().empty()) return ThreadCallContext();
  return withBroker ? std::string() : ProcessInfoBlock();
}

// A connection and a started package.
struct TStartedCall {
  std::unique_ptr<TCustomConn> Conn;
  std::unique_ptr<TquvPackage> Package;
};

std::mutex GConnFactoryLock;
TquvCallConnFactory GConnFactory;

std::unique_ptr<TCustomConn> OpenCallConn(const std::string& host) {
  TquvCallConnFactory factory;
  {
    std::lock_guard<std::mutex> lock(GConnFactoryLock);
    factory = GConnFactory;
  }
  if (factory) return factory(host);
  return std::make_unique<TClientConn>(host, false);
}

TStartedCall Connect(const std::string& host, const std::string& method,
                     const TquvCallProgress& progress) {
  const int32_t limit = ConnectTimeoutFor(method, TquvClientCfg::Timeout());
  const uint32_t start = Clock().TickCount();
  std::string lastError;
  for (;;) {
    if (progress) progress(0);
    TStartedCall call;
    try {
      call.Conn = OpenCallConn(host);
      call.Package = std::make_unique<TquvPackage>(*call.Conn);
      call.Package->BeginSend();
      return call;
    } catch (const std::exception& e) {
      lastError = e.what();
    }
    const uint32_t elapsed = Clock().TickCount() - start;
    if (elapsed >= static_cast<uint32_t>(limit)) break;
    // A refused connection fails at once: do not spin on it.
    const uint32_t pause = std::min<uint32_t>(kConnectRetryPauseMs, limit - elapsed);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
  if (lastError.empty()) throw ENoConnectionError();
  throw ENoConnectionError(lastError);
}

void PrepareHeader(TquvCommandHeader& header, uint8_t kind) {
  if (TquvClientCfg::RequestCompression()) header.Compression = 1;
  header.CallKind = kind;
  if (kind == kCallListed || kind == kCallListedWithoutParameters)
    header.RowCount = kListedRowCount;
  if (kind == kCallPlain) header.RowCount = 0;
}

void CallOverNetwork(std::string host, const TquvTagBag* context, TquvCommandHeader& header,
                     const TquvCallProgress& progress, TquvRecordset& result,
                     std::string& errorText, TquvRecordset* parameters, uint8_t kind) {
  if (host.empty()) {
    const std::string& method = header.MethodName;
    host = Resolve(std::string(kServerImplementsLibrary), method.substr(0, method.find('.')));
  }
  TStartedCall call = Connect(host, header.MethodName, progress);
  TquvCallWait wait;
  wait.ReplyMs = std::max<int32_t>(1, TquvClientCfg::Timeout());
  wait.AcknowledgeMs = kAcknowledgeTimeoutMs;
  wait.Progress = progress;
  call.Package->SetTimeout(wait.ReplyMs);
  PrepareHeader(header, kind);
  TquvWriteParameters writeParameters;
  if (parameters != nullptr && kind != kCallListedWithoutParameters)
    writeParameters = [parameters](TquvPackageWriter& writer) {
      writer.WriteCommandAsRecordset(parameters, false, false);
    };
  // What is left unread on the connection must not reach the next call
  // that borrows it from the pool.
  const TFailureGuard resetConnection([&call] {
    try {
      call.Conn->ResetConnection(TquvPackage::kResetTimeoutMs);
    } catch (const std::exception&) {
      // the call's own failure is the one to report
    }
  });
  SendCallRequest(*call.Package, header, CallContextText(context, false), writeParameters,
                  wait.AcknowledgeMs);
  const TFailureGuard forgetServer([&header] {
    OutputDebugString("**ERROR** Reading from the net at ExecCommand");
    Invalidate(header.MethodName);
  });
  errorText =
      ReceiveCallReply(
          *call.Package, header,
          [&result](TquvPackageReader& reader) { reader.ReadCommandAsRecordset(&result); }, wait)
          .ErrorText;
}

void CallThroughBroker(IquvBrokerContext& broker, const TquvTagBag* context,
                       TquvCommandHeader& header, TquvRecordset& result, std::string& errorText,
                       TquvRecordset* parameters) {
  TMemoryStream input;
  if (parameters != nullptr) parameters->SaveToStream(input, 0);
  std::string output;
  uint8_t status = 0;
  broker.Call(header.MethodName, CallContextText(context, true), StreamBytes(input), output,
              status);
  if (result.Name().empty())
    result.SetDefinition(parameters != nullptr ? parameters->Name() : header.MethodName);
  if (status == kBrokerFailed) {
    header.ResultKind = kResultError;
    errorText = output;
    return;
  }
  TMemoryStream reply(std::vector<uint8_t>(output.begin(), output.end()));
  result.LoadFromStream(reply, true);
  header.ResultKind = kResultComplete;  // a broker reply holds every row
}

}  // namespace

namespace {

constinit TProcessSlot<TBrokerBridge> gBridge("client broker bridge");

}  // namespace

std::unique_ptr<TScopePart> MakeClientBrokerBridge() {
  return gBridge.Make(TBrokerBridge::LoadBesideExecutable());
}

const TBrokerBridge& ClientBrokerBridge() { return *gBridge; }

TRef<IquvBrokerContext> ClientBrokerContext() { return ClientBrokerBridge().GetContext(); }

void SetCallConnFactory(TquvCallConnFactory factory) {
  std::lock_guard<std::mutex> lock(GConnFactoryLock);
  GConnFactory = std::move(factory);
}

void SetThreadCallContext(std::string text) { GThreadCallContext = std::move(text); }
const std::string& ThreadCallContext() { return GThreadCallContext; }

int32_t ConnectTimeoutFor(const std::string& method, int32_t timeoutMs) {
  const int32_t limit = method.find("quvsystem.tasks.cancel") != std::string::npos
                            ? kCancelConnectTimeoutMs
                            : kConnectTimeoutMs;
  return timeoutMs > 0 ? std::min(limit, timeoutMs) : limit;
}

void ExecCommand(const std::string& host, const TquvTagBag* context, TquvCommandHeader& header,
                 const TquvCallProgress& progress, TquvRecordset& result, std::string& errorText,
                 TquvRecordset* parameters, uint8_t kind) {
  try {
    if (const TRef<IquvBrokerContext> broker = ClientBrokerContext())
      CallThroughBroker(*broker, context, header, result, errorText, parameters);
    else
      CallOverNetwork(host, context, header, progress, result, errorText, parameters, kind);
  } catch (const std::exception& e) {
    // A failed call leaves no rows, whatever arrived before the failure.
    if (!result.ReadOnly()) result.Clear();
    header.ResultKind = kResultError;
    errorText = "Erro chamando " + header.MethodName.substr(0, kErrorMethodLength) + ":" + e.what();
  }
}

}  // namespace quv
