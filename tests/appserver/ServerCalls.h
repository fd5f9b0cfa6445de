#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "appserver/quvRecordsetBytes.h"
#include "server/common/quvRecordset.h"
#include "tests/kit/ByteBuilder.h"
#include "transport/quvCallExchange.h"
#include "transport/quvpack.h"

namespace quv::testing {

// Calls of the application server made the way the remote-call client makes
// them, for the integration tests.

inline constexpr int32_t kCallTimeoutMs = 30000;

struct TReply {
  TquvCommandHeader Header;
  std::string Text;
  std::vector<uint8_t> Recordset;
  int32_t Probes = 0;
};

inline TquvCommandHeader Request(const std::string& method, bool compressed = false) {
  TquvCommandHeader header;
  header.RequestNumber = 123456789;
  header.MethodName = method;
  header.MethodNumber = 77;
  header.Compression = compressed ? 1 : 0;
  return header;
}

// A serialised recordset without definitions: an empty tag bag, `data` as
// its data and one index entry over it.
inline std::vector<uint8_t> Recordset(const std::string& data) {
  const auto size = static_cast<int32_t>(data.size());
  TByteBuilder b;
  b.U8(1).U8(0).I32(4).I32(0).I32(size).Raw(data);  // version, flags, tags, data
  b.I32(8).I32(0).I32(size);                        // the index: one row over all the data
  return b.Bytes();
}

// A call through the client's call exchange, with `writeParameters` (if given) writing the
// parameters and `readRecordset` reading a reply recordset. Raises what the exchange raises.
inline TReply Call(TCustomConn& conn, const TquvCommandHeader& header, std::string_view context,
                   const TquvWriteParameters& writeParameters,
                   const TquvReadRecordset& readRecordset) {
  TquvPackage package(conn);
  TReply reply;
  reply.Header = header;
  TquvCallWait wait;
  wait.ReplyMs = kCallTimeoutMs;
  wait.SliceMs = kCallTimeoutMs / 30;  // one empty wait uses up a part of the time-out only
  const TquvCallOutcome outcome =
      ExchangeCall(package, reply.Header, context, writeParameters, readRecordset, wait);
  reply.Text = outcome.ErrorText;
  reply.Probes = outcome.Probes;
  return reply;
}

// The same with the parameters and the reply recordset as serialised bytes.
inline TReply Call(TCustomConn& conn, const TquvCommandHeader& header, std::string_view context,
                   const std::vector<uint8_t>& parameters) {
  TReply reply;
  TquvWriteParameters writeParameters = [&](TquvPackageWriter& writer) {
    TMemoryStream stream(parameters);
    writer.WriteCommandAsRecordset(stream);
  };
  TReply done =
      Call(conn, header, context, parameters.empty() ? nullptr : std::move(writeParameters),
           [&](TquvPackageReader& reader) {
             reader.ReadCommandAsRecordset(
                 [&](TStream& in) { reply.Recordset = ReadRecordsetBytes(in, 1 << 30); });
           });
  done.Recordset = std::move(reply.Recordset);
  return done;
}

// The same with recordset objects: `parameters` (or none) and `result`, which
// takes the reply's definitions from the method when it has no name.
inline TReply Call(TCustomConn& conn, const TquvCommandHeader& header, std::string_view context,
                   TquvRecordset* parameters, TquvRecordset& result) {
  return Call(conn, header, context,
              parameters == nullptr ? nullptr : TquvWriteParameters([&](TquvPackageWriter& w) {
                w.WriteCommandAsRecordset(parameters, false, false);
              }),
              [&](TquvPackageReader& reader) { reader.ReadCommandAsRecordset(&result); });
}

inline TReply Call(TCustomConn& conn, const TquvCommandHeader& header, TquvRecordset* parameters,
                   TquvRecordset& result) {
  return Call(conn, header, "", parameters, result);
}

// A one-row parameters recordset of `method` with `values`.
inline std::unique_ptr<TquvRecordset> Parameters(const std::string& method,
                                                 std::vector<TVariant> values) {
  auto parameters = std::make_unique<TquvRecordset>("", method);
  parameters->AppendValues(values);
  return parameters;
}

}  // namespace quv::testing
