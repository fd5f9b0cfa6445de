#include "appserver/quvDemo.h"

#include <array>
#include <climits>

#include "appserver/quvConnectionThread.h"
#include "appserver/quvServerLog.h"
#include "appserver/quvServerState.h"
#include "transport/quvCallExchange.h"

namespace quv {

namespace {

const std::array<TDemoUser, 5> kDemoUsers = {{{"ana.souza", "PLENA"},
                                              {"bruno.lima", "BASIC"},
                                              {"carla.dias", "PLENA"},
                                              {"diego.rocha", "FISCO"},
                                              {"elisa.melo", "BASIC"}}};
// One more client than users: the first user works in two sessions.
constexpr std::size_t kDemoClients = kDemoUsers.size() + 1;

constexpr int32_t kAcknowledgementWaitMs = 5000;
// The reply wait looks at the stop request this often.
constexpr int32_t kSignatureWaitMs = 100;
// After a lost connection the client tries again this much later (unscaled).
constexpr uint32_t kReconnectPauseMs = 500;

}  // namespace

TDemoClient::TDemoClient(std::string address, TDemoUser user, uint32_t seed, int32_t scalePercent)
    : FAddress(std::move(address)),
      FUser(std::move(user)),
      FScalePercent(scalePercent),
      FRandom(seed) {}

TDemoClient::~TDemoClient() {
  Stop();
  WaitFor();
}

void TDemoClient::Stop() {
  Terminate();
  FStopped.SetEvent();
}

void TDemoClient::Execute() {
  while (!Terminated()) {
    try {
      if (FSessionKey.empty()) LogOn();
      RunOneCall();
      if (!Pause(Scaled(Between(200, 3000)))) break;
      if (Between(1, 100) <= 8) LogOff();
    } catch (const ENoConnectionError&) {
      // The server ends the connection of a closed session, and all of them as it stops.
      StartAgain();
    } catch (const std::exception& e) {
      if (!Terminated()) ServerLogLine("demo " + FUser.UserName + ": " + e.what());
      StartAgain();
    }
  }
}

void TDemoClient::StartAgain() {
  FConn.reset();
  FSessionKey.clear();
  Pause(kReconnectPauseMs);
}

void TDemoClient::LogOn() {
  TReply reply =
      Call("quvsystem.sessions.open", {TVariant(FUser.UserName), TVariant(FUser.Licence)});
  if (reply.Failed) throw Exception(reply.ErrorText);
  reply.Rows->First();
  FSessionKey = reply.Rows->GetFieldValue("sessionkey").ToText();
}

void TDemoClient::LogOff() {
  // Sent outside the session, so that closing it does not cancel this call.
  const std::string key = std::move(FSessionKey);
  FSessionKey.clear();
  Call("quvsystem.sessions.cancel", {TVariant(key)});
}

void TDemoClient::RunOneCall() {
  const uint32_t kind = Between(1, 100);
  TReply reply;
  if (kind <= 65)
    reply =
        Call("quvtest.test.sleep", {TVariant(static_cast<int32_t>(Scaled(Between(2000, 60000))))});
  else if (kind <= 85)
    reply =
        Call("quvsystem.sessions.watch", {TVariant(std::to_string(Scaled(Between(5000, 60000))))});
  else
    reply = Call("quvsystem.sessions.list", {});
  // A closed session: log on again; a cancelled call needs nothing more.
  if (reply.Failed && reply.ErrorText == UnknownSessionText(FSessionKey)) FSessionKey.clear();
}

TDemoClient::TReply TDemoClient::Call(const std::string& method,
                                      const std::vector<TVariant>& values) {
  if (!FConn) FConn = std::make_unique<TClientConn>(FAddress, true);
  TquvCommandHeader header;
  header.RequestNumber = static_cast<int32_t>(FRandom() % 2147483647u);
  header.MethodName = method;
  TquvRecordset parameters("", method);
  TquvWriteParameters writeParameters;
  if (!values.empty()) {
    parameters.AppendValues(values);
    writeParameters = [&parameters](TquvPackageWriter& writer) {
      writer.WriteCommandAsRecordset(&parameters, false, false);
    };
  }
  TquvCallWait wait;
  wait.AcknowledgeMs = kAcknowledgementWaitMs;
  wait.ReplyMs = INT32_MAX;  // the demo's calls last as long as the server makes them
  wait.SliceMs = kSignatureWaitMs;
  wait.Progress = [this](int32_t) {
    if (Terminated()) throw Exception("the demo stops");
  };
  TReply reply;
  TquvPackage package(*FConn);
  const TquvCallOutcome outcome = ExchangeCall(
      package, header, FSessionKey.empty() ? "" : "sessionkey=" + FSessionKey, writeParameters,
      [&reply](TquvPackageReader& reader) {
        reply.Rows = std::make_unique<TquvRecordset>();
        reply.Rows->CacheBlobs = true;
        reader.ReadCommandAsRecordset(reply.Rows.get());
      },
      wait);
  reply.Failed = header.ResultKind == kResultError;
  reply.ErrorText = outcome.ErrorText;
  return reply;
}

uint32_t TDemoClient::Between(uint32_t low, uint32_t high) {
  return low + FRandom() % (high - low + 1);
}

uint32_t TDemoClient::Scaled(uint32_t ms) const {
  return static_cast<uint32_t>(static_cast<uint64_t>(ms) * FScalePercent / 100);
}

bool TDemoClient::Pause(uint32_t ms) { return !FStopped.WaitFor(ms); }

TDemoWorkload::TDemoWorkload(const std::string& address, uint32_t seed, int32_t scalePercent) {
  std::seed_seq seeds{seed};
  std::array<uint32_t, kDemoClients> clientSeeds;
  seeds.generate(clientSeeds.begin(), clientSeeds.end());
  for (std::size_t i = 0; i < kDemoClients; ++i)
    FClients.push_back(std::make_unique<TDemoClient>(address, kDemoUsers[i % kDemoUsers.size()],
                                                     clientSeeds[i], scalePercent));
  for (const auto& client : FClients) client->Start();
}

TDemoWorkload::~TDemoWorkload() {
  for (const auto& client : FClients) client->Stop();
  FClients.clear();
}

}  // namespace quv
