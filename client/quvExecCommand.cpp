#include "client/quvExecCommand.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "client/ProcessInfo.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
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
  const auto length = static_cast<uint32_t>(text.size());
  std::string block(4, '\0');
  for (int i = 0; i < 4; ++i) block[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return block + text;
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

uint32_t ElapsedSince(uint32_t start) { return Clock().TickCount() - start; }

// A connection and a started package, or what the last failed attempt said.
struct TStartedCall {
  std::unique_ptr<TClientConn> Conn;
  std::unique_ptr<TquvPackage> Package;
};

TStartedCall Connect(const std::string& host, const std::string& method,
                     const TquvCallProgress& progress) {
  const int32_t limit = ConnectTimeoutFor(method, TquvClientCfg::Timeout());
  const uint32_t start = Clock().TickCount();
  std::string lastError;
  for (;;) {
    if (progress) progress(0);
    TStartedCall call;
    try {
      call.Conn = std::make_unique<TClientConn>(host, false);
      call.Package = std::make_unique<TquvPackage>(*call.Conn);
      call.Package->BeginSend();
      return call;
    } catch (const std::exception& e) {
      lastError = e.what();
    }
    const uint32_t elapsed = ElapsedSince(start);
    if (elapsed >= static_cast<uint32_t>(limit)) break;
    // A refused connection fails at once: do not spin on it.
    const uint32_t pause = std::min<uint32_t>(kConnectRetryPauseMs, limit - elapsed);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
  if (lastError.empty()) throw ENoConnectionError();
  throw ENoConnectionError(lastError);
}

// Waits for the reply's signature, answering probes and reading notices.
void WaitForReply(TquvPackage& package, TCustomConn& conn, int32_t timeoutMs,
                  const TquvCallProgress& progress) {
  const uint32_t start = Clock().TickCount();
  for (;;) {
    const uint32_t elapsed = ElapsedSince(start);
    if (elapsed >= static_cast<uint32_t>(timeoutMs)) {
      conn.ResetConnection(TquvPackage::kResetTimeoutMs);
      throw ENoDataError();
    }
    const TquvSignature signature =
        package.ReadSignature(static_cast<int32_t>(timeoutMs - elapsed));
    switch (signature) {
      case TquvSignature::Call:
        if (ElapsedSince(start) <= static_cast<uint32_t>(timeoutMs)) return;
        break;
      case TquvSignature::Close:
      case TquvSignature::Closed:
        throw ENoConnectionError();
      case TquvSignature::Probe:
        package.SendAlive();
        break;
      case TquvSignature::Notification: {
        std::string text;
        int32_t value = 0;
        uint8_t flag = 0;
        package.ReadNotification(text, value, flag);
        break;
      }
      default:
        break;
    }
    if (progress) progress(static_cast<int32_t>(int64_t(ElapsedSince(start)) * 100 / timeoutMs));
  }
}

void ReadReply(TquvPackageReader& reader, TquvCommandHeader& header, TquvRecordset& result,
               std::string& errorText) {
  int32_t rowsSoFar = header.RowsSoFar;
  while (reader.NextIsCommand()) {
    std::string context;
    reader.ReadCommandHeader(header, context);
    if (header.ResultKind == 2) {
      errorText = reader.ReadText();
    } else if (header.ResultKind != 3) {
      reader.ReadCommandAsRecordset(&result);
    }
    rowsSoFar += header.RowCount;
    header.RowsSoFar = rowsSoFar;
    reader.EndCommandHeader();
  }
}

void SendRequest(TquvPackage& package, TquvCommandHeader& header, const TquvTagBag* context,
                 TquvRecordset* parameters, uint8_t kind, int32_t timeout) {
  if (TquvClientCfg::RequestCompression()) header.Compression = 1;
  header.CallKind = kind;
  if (kind == 1 || kind == 2) header.RowCount = 30;
  if (kind == 0) header.RowCount = 0;
  TquvPackageWriter writer(package);
  writer.WriteCommandHeader(header, CallContextText(context, false));
  if (parameters != nullptr && kind != 2) writer.WriteCommandAsRecordset(parameters, false, false);
  writer.EndCommand();
  // A server that takes the request and never answers must not hold the
  // caller for longer than the configured time-out.
  package.EndSend(std::min(kAcknowledgeTimeoutMs, timeout));
}

void ReceiveReply(TStartedCall& call, TquvCommandHeader& header, TquvRecordset& result,
                  std::string& errorText, int32_t timeout, const TquvCallProgress& progress) {
  TquvPackage& package = *call.Package;
  try {
    WaitForReply(package, *call.Conn, timeout, progress);
    TquvPackageReader reader(package);
    try {
      ReadReply(reader, header, result, errorText);
    } catch (...) {
      try {
        package.SendRecvOK();
      } catch (const std::exception&) {
        // the reply's own failure is the one to report
      }
      throw;
    }
    package.SendRecvOK();
  } catch (...) {
    OutputDebugString("**ERROR** Reading from the net at ExecCommand");
    Invalidate(header.MethodName);
    throw;
  }
}

void CallOverNetwork(std::string host, const TquvTagBag* context, TquvCommandHeader& header,
                     const TquvCallProgress& progress, TquvRecordset& result,
                     std::string& errorText, TquvRecordset* parameters, uint8_t kind) {
  if (host.empty()) {
    const std::string& method = header.MethodName;
    host = Resolve(std::string(kServerImplementsLibrary), method.substr(0, method.find('.')));
  }
  TStartedCall call = Connect(host, header.MethodName, progress);
  const int32_t timeout = std::max<int32_t>(1, TquvClientCfg::Timeout());
  call.Package->SetTimeout(timeout);
  try {
    SendRequest(*call.Package, header, context, parameters, kind, timeout);
    ReceiveReply(call, header, result, errorText, timeout, progress);
  } catch (...) {
    // What is left unread on the connection must not reach the next call
    // that borrows it from the pool.
    try {
      call.Conn->ResetConnection(TquvPackage::kResetTimeoutMs);
    } catch (const std::exception&) {
      // the call's own failure is the one to report
    }
    throw;
  }
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
  if (status == 2) {
    header.ResultKind = 2;
    errorText = output;
    return;
  }
  if (output.empty()) {
    header.ResultKind = 3;  // nothing came back, as from a call without parameters
    return;
  }
  TMemoryStream reply(std::vector<uint8_t>(output.begin(), output.end()));
  result.LoadFromStream(reply, true);
  header.ResultKind = 1;  // a broker reply holds every row
}

}  // namespace

const TBrokerBridge& ClientBrokerBridge() {
  static const TBrokerBridge bridge = TBrokerBridge::LoadBesideExecutable();
  return bridge;
}

TRef<IquvBrokerContext> ClientBrokerContext() { return ClientBrokerBridge().GetContext(); }

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
    header.ResultKind = 2;
    errorText = "Erro chamando " + header.MethodName.substr(0, kErrorMethodLength) + ":" + e.what();
  }
}

}  // namespace quv
