#include "appserver/quvtest.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <mutex>

namespace quv {

namespace {

// quvtest.test.wait gives up on probes after this long.
constexpr uint32_t kLongestWaitMs = 60000;
// quvtest.test.sleep looks at the cancel flag this often.
constexpr int32_t kSleepSliceMs = 50;
// quvtest.test.rows answers at most this many rows.
constexpr int32_t kMostRows = 10000000;
// quvtest.test.partial answers this many rows.
constexpr int32_t kPartialRows = 3;

TMethodResult Echo(const TMethodCall& call) {
  return TMethodResult::Reply(call.Parameters, call.ParameterRows);
}

TMethodResult Fail(const TMethodCall& call) {
  return TMethodResult::Error(call.Parameter("message").ToText());
}

TMethodResult Sleep(const TMethodCall& call) {
  for (int32_t left = call.Parameter("ms").ToInteger(); left > 0; left -= kSleepSliceMs)
    if (call.Control.WaitForCancel(static_cast<uint32_t>(std::min(left, kSleepSliceMs)))) break;
  return Echo(call);
}

// `count` rows of the task list's fields, numbered from 1, serialised.
std::vector<uint8_t> BuildRows(const std::string& method, int32_t count) {
  TquvRecordset rows("", method);
  std::array<TVariant, 8> values;
  for (int32_t row = 1; row <= count; ++row) {
    const std::string number = std::to_string(row);
    values = {TVariant(row),
              TVariant(number),
              TVariant("cliente " + number),
              TVariant("Consulta de pedidos " + number),
              TVariant("00:00:" + std::to_string(row % 60)),
              TVariant("quvsystem.tasks.list"),
              TVariant("usuario" + std::to_string(row % 100)),
              TVariant("N")};
    rows.AppendValues(values);
  }
  TMemoryStream bytes;
  rows.SaveToStream(
      bytes, static_cast<uint8_t>(RecordsetSaveFlags(false, rows.FieldDefs().Modified(), false)));
  return bytes.Bytes();
}

// The last reply of quvtest.test.rows, kept so that a benchmark asking for
// the same rows again times the transfer, not the building.
class TRowsCache final {
 public:
  TMethodResult::TBytes Get(const std::string& method, int32_t count) {
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FBytes && FMethod == method && FCount == count) return FBytes;
    }
    auto bytes = std::make_shared<const std::vector<uint8_t>>(BuildRows(method, count));
    std::lock_guard<std::mutex> guard(FLock);
    FMethod = method;
    FCount = count;
    FBytes = bytes;
    return bytes;
  }

 private:
  std::mutex FLock;
  std::string FMethod;
  int32_t FCount = 0;
  TMethodResult::TBytes FBytes;
};

TMethodResult Rows(TRowsCache& cache, const TMethodCall& call) {
  const int32_t count = call.Parameter("count").ToInteger();
  if (count < 0 || count > kMostRows)
    throw Exception("quvtest.test.rows answers 0 to " + std::to_string(kMostRows) + " rows");
  return TMethodResult::Reply(cache.Get(call.Header.MethodName, count), count);
}

TMethodResult Partial(const TMethodCall& call) {
  return TMethodResult::IncompleteReply(BuildRows(call.Header.MethodName, kPartialRows),
                                        kPartialRows);
}

TMethodResult WaitForProbes(const TMethodCall& call) {
  int32_t probes = 0;
  const char* end = call.Context.data() + call.Context.size();
  const auto parsed = std::from_chars(call.Context.data(), end, probes);
  if (parsed.ec != std::errc() || parsed.ptr != end || probes < 0)
    return TMethodResult::Error("quvtest.test.wait needs a probe count as its context");
  call.Control.WaitForProbes(probes, kLongestWaitMs);
  return Echo(call);
}

}  // namespace

void RegisterQuvTest(TMethodRegistry& methods) {
  methods.Register("quvtest.test.echo", Echo);
  methods.Register("quvtest.test.fail", Fail);
  methods.Register("quvtest.test.sleep", Sleep);
  methods.Register("quvtest.test.rows",
                   [cache = std::make_shared<TRowsCache>()](const TMethodCall& call) {
                     return Rows(*cache, call);
                   });
  methods.Register("quvtest.test.partial", Partial);
  methods.Register("quvtest.test.wait", WaitForProbes);
}

}  // namespace quv
