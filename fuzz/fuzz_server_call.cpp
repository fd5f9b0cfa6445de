// Any bytes, as what a client sends the server on a connection: after the
// "QUV1" signature the call package is read as the server reads it, the
// request enters the server's table (its context naming a session or not)
// and its method runs over the parameters recordset, which the method reads
// with its own definitions from the interface files of quvtest and
// quvsystem (compiled into this program). The call is cancelled before it
// runs, so no method waits; one session is open. Reading the request may
// only raise the project's own errors; the method turns everything into its
// result.

#include <cstdint>
#include <vector>

#include "appserver/quvCallRequest.h"
#include "appserver/quvServerState.h"
#include "appserver/quvsystem.h"
#include "appserver/quvtest.h"
#include "server/common/quvIntfRegistry.h"
#include "tests/kit/BufferConn.h"

namespace {

using namespace quv;

// Fuzz inputs are far below the server's limit; this one keeps them fast.
constexpr int64_t kMaxRequestBytes = 1 << 20;
// quvtest.test.rows builds the rows it is asked for; more than this would
// only time the building.
constexpr int32_t kMostRowsAsked = 1000;
const std::string kPeer = "127.0.0.1:50000";

void RegisterMethods(TMethodRegistry& methods, TServerState& state) {
  RegisterQuvTest(methods);
  RegisterQuvSystem(methods, state);
  const TMethodHandler rows = *methods.Find("quvtest.test.rows");
  methods.Register("quvtest.test.rows", [rows](const TMethodCall& call) {
    if (call.Parameter("count").ToInteger() > kMostRowsAsked) return TMethodResult();
    return rows(call);
  });
}

// Reads the request after a "QUV1" signature; false when there is none.
bool ReadRequest(TquvPackage& package, TCallRequest& request) {
  char signature[4];
  TquvPackageReader reader(package);
  try {
    package.ReadExact(signature, sizeof signature);
    if (ClassifySignature(std::string_view(signature, sizeof signature)) != TquvSignature::Call)
      return false;
    request = ReadCallRequest(reader, kMaxRequestBytes);
    return true;
  } catch (const Exception&) {
    return false;  // the connection thread logs it and ends the connection
  }
}

void ServeCall(const TCallRequest& request) {
  TServerState state(1);
  state.OpenSession("fuzz", "licence", kPeer);
  TMethodRegistry methods;
  RegisterMethods(methods, state);
  TCallControl control;
  control.BeginCall();
  const TRequestRegistration registration(state, request.Header, request.Context, kPeer, control);
  if (!registration.Refusal().empty()) return;
  control.CancelCall();
  methods.Run(TMethodCall{request.Header, request.Context, request.Parameters,
                          request.ParameterRows, control, kPeer});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  testing::TBufferConn conn(std::vector<uint8_t>(data, data + size));
  TquvPackage package(conn);
  TCallRequest request;
  if (ReadRequest(package, request)) ServeCall(request);
  return 0;
}
