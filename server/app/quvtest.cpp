#include "server/app/quvtest.h"

#include <charconv>

namespace quv {

namespace {

// quvtest.wait gives up on probes after this long.
constexpr uint32_t kLongestWaitMs = 60000;

TMethodResult Echo(const TMethodCall& call) { return TMethodResult::Reply(call.Parameters); }

TMethodResult Fail(const TMethodCall& call) {
  return TMethodResult::Error(std::string(call.Context));
}

TMethodResult WaitForProbes(const TMethodCall& call) {
  int32_t probes = 0;
  const char* end = call.Context.data() + call.Context.size();
  const auto parsed = std::from_chars(call.Context.data(), end, probes);
  if (parsed.ec != std::errc() || parsed.ptr != end || probes < 0)
    return TMethodResult::Error("quvtest.wait needs a probe count as its context");
  call.Control.WaitForProbes(probes, kLongestWaitMs);
  return Echo(call);
}

}  // namespace

void RegisterQuvTest(TMethodRegistry& methods) {
  methods.Register("quvtest.echo", Echo);
  methods.Register("quvtest.fail", Fail);
  methods.Register("quvtest.wait", WaitForProbes);
}

}  // namespace quv
