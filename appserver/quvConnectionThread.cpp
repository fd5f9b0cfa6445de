#include "appserver/quvConnectionThread.h"

#include <algorithm>
#include <cstdio>

#include "appserver/quvFileRequests.h"
#include "appserver/quvServerLog.h"
#include "platform/Clock.h"
#include "platform/FailureGuard.h"
#include "server/common/quvViewStream.h"

namespace quv {

namespace {

// How long the server waits for the client's acknowledgement of a reply.
constexpr int32_t kAcknowledgementWaitMs = 20000;
constexpr int32_t kSignatureSize = 4;

std::string HexBytes(const char* bytes, int32_t count) {
  std::string text;
  char digits[4];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(bytes[i]));
    text += digits;
  }
  return text;
}

}  // namespace

TConnectionThread::TConnectionThread(int handle, std::string peer, const TServerOptions& options,
                                     const TMethodRegistry& methods, const TLocatorAnswer& locator,
                                     TServerState& state, TProbeTimer& probeTimer,
                                     std::function<void()> onFinished)
    : FOptions(options),
      FMethods(methods),
      FLocator(locator),
      FState(state),
      FOnFinished(std::move(onFinished)),
      FConn(handle, std::move(peer)),
      FProber(FPackage, FControl, probeTimer, options.ProbeIntervalMs, FConn.Peer()) {
  FPackage.SetMaxBlockLength(
      static_cast<int32_t>(std::min<int64_t>(options.MaxRequestBytes, INT32_MAX)));
}

TConnectionThread::~TConnectionThread() { TerminateAndWait(); }

void TConnectionThread::Stop() {
  Terminate();
  FControl.Cancel();
  FConn.Interrupt();
}

void TConnectionThread::Execute() {
  FProber.Start();
  try {
    Serve();
  } catch (const std::exception& e) {
    if (!Terminated()) ServerLogLine(FConn.Peer() + ": " + e.what());
  }
  FProber.Stop();
  FConn.Interrupt();
  FEnded.store(true);
  if (FOnFinished) FOnFinished();
}

void TConnectionThread::Serve() {
  while (!Terminated() && !FControl.Cancelled()) {
    if (FConn.WaitReadable(0) == kConnGone) return;
    char signature[kSignatureSize];
    FPackage.ReadExact(signature, kSignatureSize);
    switch (ClassifySignature(std::string_view(signature, kSignatureSize))) {
      case TquvSignature::Call:
        ServeCall();
        break;
      case TquvSignature::Locator:
        ServeLocatorRequest();
        break;
      case TquvSignature::FileTransfer:
        ServeFileRequests(FPackage, FWriter, FOptions.FilesDirectory);
        break;
      case TquvSignature::Close:
        return;
      default:
        throw EPackageError("Unexpected signature " + HexBytes(signature, kSignatureSize));
    }
  }
}

void TConnectionThread::ServeCall() {
  const TCallRequest request = ReadCallRequest(FReader, FOptions.MaxRequestBytes);
  FControl.BeginCall();
  const TRequestRegistration registration(FState, request.Header, request.Context, FConn.Peer(),
                                          FControl);
  // A quick reply carries the acknowledgement in the same send; during a
  // longer call the prober flushes it soon after the call starts.
  FPackage.BufferRecvOK();
  const uint32_t start = Clock().TickCount();
  TMethodResult result = registration.Refusal().empty()
                             ? RunMethod(request)
                             : TMethodResult::Error(registration.Refusal());
  if (FControl.Cancelled()) return;  // the client is gone or the server stops
  if (FControl.CallCancelled()) result = TMethodResult::Error(std::string(kRequestCancelledText));
  const uint8_t resultKind = WriteReply(request.Header, std::move(result));
  if (FOptions.Verbose) LogCall(request.Header, Clock().TickCount() - start, resultKind);
  if (registration.SessionClosed()) FControl.Cancel();
}

void TConnectionThread::ServeLocatorRequest() {
  FWriter.WriteText(FLocator.Respond(FReader.ReadText()));
  FPackage.Flush(TquvPackageWriter::kRequestFlushTimeoutMs);
}

TMethodResult TConnectionThread::RunMethod(const TCallRequest& request) {
  FProber.Arm();
  TMethodResult result =
      FMethods.Run(TMethodCall{request.Header, request.Context, request.Parameters,
                               request.ParameterRows, FControl, FConn.Peer()});
  FProber.Disarm();
  return result;
}

uint8_t TConnectionThread::WriteReply(const TquvCommandHeader& request, TMethodResult result) {
  TquvCommandHeader reply = request;
  reply.ResultKind = result.Failed            ? kResultError
                     : !result.HasRecordset() ? kResultNothing
                     : result.Incomplete      ? kResultIncomplete
                                              : kResultComplete;
  const bool withRecordset =
      reply.ResultKind == kResultComplete || reply.ResultKind == kResultIncomplete;
  reply.RowCount = withRecordset ? result.RowCount : 0;
  reply.RowsSoFar = 0;
  {
    const TFailureGuard endCommand([this] { FWriter.EndCommand(); });
    FWriter.WriteCommandHeader(reply, {});
    if (reply.ResultKind == kResultError) {
      FWriter.WriteText(result.ErrorText);
    } else if (withRecordset) {
      WriteReplyRecordset(result);
    }
  }
  FWriter.EndCommand();
  FPackage.EndSend(kAcknowledgementWaitMs);
  return reply.ResultKind;
}

void TConnectionThread::WriteReplyRecordset(TMethodResult& result) {
  if (result.Rows) {
    FWriter.WriteCommandAsRecordset(result.Rows.get(), false, false);
    return;
  }
  const std::vector<uint8_t>& bytes = *result.Recordset;
  TViewStream recordset(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  FWriter.WriteCommandAsRecordset(recordset);
}

void TConnectionThread::LogCall(const TquvCommandHeader& header, uint32_t elapsedMs,
                                uint8_t resultKind) const {
  ServerLogLine(FConn.Peer() + " " + header.MethodName + " request " +
                std::to_string(header.RequestNumber) + " " + std::to_string(elapsedMs) +
                " ms result " + std::to_string(resultKind));
}

}  // namespace quv
