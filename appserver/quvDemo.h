#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "server/common/quvRecordset.h"
#include "transport/quvClientConn.h"
#include "transport/quvpack.h"

namespace quv {

// A user of the demo and the licence its sessions carry.
struct TDemoUser {
  std::string UserName;
  std::string Licence;
};

// One simulated client of the demo, on a thread of its own: it opens a
// session for its user through "quvsystem.sessions.open", then makes one
// real call after another over the protocol (long sleeps, session watches
// and short lists, each carrying its session key in the call context),
// with pauses between them, and now and then logs off and on again. A
// cancelled call, a closed session or a lost connection only makes it carry
// on (logging on again where needed). Its choices follow `seed`; durations
// and pauses are scaled by `scalePercent`. Owned and joined by the
// workload; Stop may be called from any other thread.
class TDemoClient final : public TThread {
 public:
  TDemoClient(std::string address, TDemoUser user, uint32_t seed, int32_t scalePercent);
  ~TDemoClient() override;

  // Asks the thread to end: its waits end at once, a call within 100 ms.
  void Stop();

 protected:
  void Execute() override;

 private:
  // The reply of one call: its rows, or its error text.
  struct TReply {
    std::unique_ptr<TquvRecordset> Rows;
    bool Failed = false;
    std::string ErrorText;
  };

  void LogOn();
  void LogOff();
  // Drops the connection and the session and waits a little before the next try.
  void StartAgain();
  void RunOneCall();
  // Calls `method` with one parameters row of `values`; raises what the
  // package raises, and when the thread is asked to stop.
  TReply Call(const std::string& method, const std::vector<TVariant>& values);
  // A number from `low` to `high`, both included.
  uint32_t Between(uint32_t low, uint32_t high);
  uint32_t Scaled(uint32_t ms) const;
  // Waits up to `ms`; false when the thread is asked to stop.
  bool Pause(uint32_t ms);

  const std::string FAddress;
  const TDemoUser FUser;
  const int32_t FScalePercent;
  std::mt19937 FRandom;
  TEvent FStopped;
  std::unique_ptr<TClientConn> FConn;
  std::string FSessionKey;
};

// The demo workload: simulated clients of a few users with different
// licences calling the server at `address` ("host:port"), from construction
// until destruction, which stops and joins them. Deterministic given `seed`
// in the calls each client makes, not in their timing.
class TDemoWorkload final {
 public:
  TDemoWorkload(const std::string& address, uint32_t seed, int32_t scalePercent);
  ~TDemoWorkload();
  TDemoWorkload(const TDemoWorkload&) = delete;
  TDemoWorkload& operator=(const TDemoWorkload&) = delete;

 private:
  std::vector<std::unique_ptr<TDemoClient>> FClients;
};

}  // namespace quv
