#include "transport/quvCallExchange.h"

#include <algorithm>

#include "platform/Clock.h"
#include "platform/FailureGuard.h"
#include "transport/quvCallKinds.h"

namespace quv {

namespace {

uint32_t ElapsedSince(uint32_t start) { return Clock().TickCount() - start; }

// Waits for the reply's signature, answering probes and reading notices.
void AwaitReplySignature(TquvPackage& package, const TquvCallWait& wait, int32_t& probes) {
  const auto limit = static_cast<uint32_t>(std::max(1, wait.ReplyMs));
  const uint32_t start = Clock().TickCount();
  for (;;) {
    const uint32_t elapsed = ElapsedSince(start);
    if (elapsed >= limit) {
      if (auto* conn = dynamic_cast<TCustomConn*>(&package.Connection()))
        conn->ResetConnection(TquvPackage::kResetTimeoutMs);
      throw ENoDataError();
    }
    // Each read waits a slice at most, so that the caller's progress hears of
    // a silent server long before a long call time-out runs out.
    const int32_t longest = wait.SliceMs > 0 ? wait.SliceMs : TquvPackage::kDefaultWaitMs;
    const auto slice = static_cast<int32_t>(std::min<uint32_t>(limit - elapsed, longest));
    switch (package.ReadSignature(slice)) {
      case TquvSignature::Call:
        if (ElapsedSince(start) <= limit) return;
        break;
      case TquvSignature::Close:
      case TquvSignature::Closed:
        throw ENoConnectionError();
      case TquvSignature::Probe:
        ++probes;
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
    if (wait.Progress)
      wait.Progress(static_cast<int32_t>(int64_t(ElapsedSince(start)) * 100 / limit));
  }
}

void ReadReplyCommands(TquvPackage& package, TquvCommandHeader& header,
                       const TquvReadRecordset& readRecordset, std::string& errorText) {
  TquvPackageReader reader(package);
  int32_t rowsSoFar = header.RowsSoFar;
  while (reader.NextIsCommand()) {
    std::string context;
    reader.ReadCommandHeader(header, context);
    if (header.ResultKind == kResultError)
      errorText = reader.ReadText();
    else if (header.ResultKind != kResultNothing)
      readRecordset(reader);
    rowsSoFar += header.RowCount;
    header.RowsSoFar = rowsSoFar;
    reader.EndCommandHeader();
  }
}

}  // namespace

void WriteCallRequest(TquvPackage& package, const TquvCommandHeader& header,
                      std::string_view context, const TquvWriteParameters& writeParameters) {
  TquvPackageWriter writer(package);  // starts the package unless one is being sent
  writer.WriteCommandHeader(header, context);
  if (writeParameters) writeParameters(writer);
  writer.EndCommand();
}

void SendCallRequest(TquvPackage& package, const TquvCommandHeader& header,
                     std::string_view context, const TquvWriteParameters& writeParameters,
                     int32_t acknowledgeMs) {
  WriteCallRequest(package, header, context, writeParameters);
  package.EndSend(acknowledgeMs);
}

TquvCallOutcome ReceiveCallReply(TquvPackage& package, TquvCommandHeader& header,
                                 const TquvReadRecordset& readRecordset, const TquvCallWait& wait) {
  TquvCallOutcome outcome;
  AwaitReplySignature(package, wait, outcome.Probes);
  {
    const TFailureGuard acknowledge([&package] {
      try {
        package.SendRecvOK();
      } catch (const std::exception&) {
        // the reply's own failure is the one to report
      }
    });
    ReadReplyCommands(package, header, readRecordset, outcome.ErrorText);
  }
  package.SendRecvOK();
  return outcome;
}

TquvCallOutcome ExchangeCall(TquvPackage& package, TquvCommandHeader& header,
                             std::string_view context, const TquvWriteParameters& writeParameters,
                             const TquvReadRecordset& readRecordset, const TquvCallWait& wait) {
  SendCallRequest(package, header, context, writeParameters, wait.AcknowledgeMs);
  return ReceiveCallReply(package, header, readRecordset, wait);
}

}  // namespace quv
