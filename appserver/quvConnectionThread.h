#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "appserver/quvCallRequest.h"
#include "appserver/quvLocatorAnswer.h"
#include "appserver/quvMethods.h"
#include "appserver/quvProbeThread.h"
#include "appserver/quvServerConn.h"
#include "appserver/quvServerOptions.h"
#include "appserver/quvServerState.h"
#include "platform/Thread.h"
#include "transport/quvCallKinds.h"
#include "transport/quvpack.h"

namespace quv {

// Serves one client on a thread of its own: reads each request, acknowledges
// it, runs its method while probing the client, writes the reply and reads
// the client's acknowledgement (or answers a "QULS" locator request), until the client closes or
// sends "QUVC", breaks the protocol (logged), or Stop is called. Each request is in the server's
// table from its arrival until its reply is written; a request cancelled there answers
// kRequestCancelledText, and the connection ends after a request whose session was closed. Owns
// the accepted connection. `options`, `methods`, `locator`, `state` and `probeTimer` must outlive
// it; `onFinished` runs on this thread as it ends. Owned and joined by the server; Stop may be
// called from any thread.
class TConnectionThread final : public TThread {
 public:
  TConnectionThread(int handle, std::string peer, const TServerOptions& options,
                    const TMethodRegistry& methods, const TLocatorAnswer& locator,
                    TServerState& state, TProbeTimer& probeTimer, std::function<void()> onFinished);
  ~TConnectionThread() override;

  // Cancels the running call and ends the connection.
  void Stop();
  // True once the connection is over; the thread is then about to return.
  bool Ended() const { return FEnded.load(); }

 protected:
  void Execute() override;

 private:
  void Serve();
  void ServeCall();
  // Reads the request text and writes the answer text, empty when it is not ours.
  void ServeLocatorRequest();
  // Runs the request's method while the prober watches the client.
  TMethodResult RunMethod(const TCallRequest& request);
  // Writes the reply and reads its acknowledgement; the reply's result kind.
  uint8_t WriteReply(const TquvCommandHeader& request, TMethodResult result);
  void WriteReplyRecordset(TMethodResult& result);
  void LogCall(const TquvCommandHeader& header, uint32_t elapsedMs, uint8_t resultKind) const;

  const TServerOptions& FOptions;
  const TMethodRegistry& FMethods;
  const TLocatorAnswer& FLocator;
  TServerState& FState;
  std::function<void()> FOnFinished;
  TServerConn FConn;
  TquvPackage FPackage{FConn};
  TquvPackageReader FReader{FPackage};
  TquvPackageWriter FWriter{FPackage};
  TCallControl FControl;
  TProbeThread FProber;
  std::atomic<bool> FEnded{false};
};

}  // namespace quv
