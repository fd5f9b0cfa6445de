#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "server/app/quvRecordsetBytes.h"
#include "server/common/quvRecordset.h"
#include "tests/server/ByteBuilder.h"
#include "transport/quvpack.h"

namespace quv::testing {

// Calls of the application server made the way the remote-call client makes
// them, for the integration tests.

inline constexpr uint32_t kCallTimeoutMs = 30000;

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
  return TByteBuilder()
      .U8(1)
      .U8(0)
      .I32(4)
      .I32(0)
      .I32(static_cast<int32_t>(data.size()))
      .Raw(data)
      .I32(8)
      .I32(0)
      .I32(static_cast<int32_t>(data.size()))
      .Bytes();
}

// A call made the way the remote-call client makes it: the request (with
// `writeParameters` writing the parameters item, when given), its
// acknowledgement, probes answered while waiting, the reply read (a reply
// recordset by `readRecordset`) and acknowledged. Raises what the package
// raises.
inline TReply Call(TCustomConn& conn, const TquvCommandHeader& header, std::string_view context,
                   const std::function<void(TquvPackageWriter&)>& writeParameters,
                   const std::function<void(TquvPackageReader&)>& readRecordset) {
  TquvPackage package(conn);
  TquvPackageWriter writer(package);
  TquvPackageReader reader(package);
  package.BeginSend();
  writer.WriteCommandHeader(header, context);
  if (writeParameters) writeParameters(writer);
  writer.EndCommand();
  package.EndSend(20000);
  TReply reply;
  const uint32_t start = Clock().TickCount();
  for (;;) {
    const TquvSignature signature = package.ReadSignature(0);
    if (signature == TquvSignature::Call) break;
    if (signature == TquvSignature::Close || signature == TquvSignature::Closed)
      throw ENoConnectionError();
    if (signature == TquvSignature::Probe) {
      ++reply.Probes;
      package.SendAlive();
    }
    if (Clock().TickCount() - start > kCallTimeoutMs) throw ENoDataError();
  }
  while (reader.NextIsCommand()) {
    std::string replyContext;
    reader.ReadCommandHeader(reply.Header, replyContext);
    if (reply.Header.ResultKind == 2)
      reply.Text = reader.ReadText();
    else if (reply.Header.ResultKind != 3)
      readRecordset(reader);
    reader.EndCommandHeader();
  }
  package.SendRecvOK();
  return reply;
}

// The same with the parameters and the reply recordset as serialised bytes.
inline TReply Call(TCustomConn& conn, const TquvCommandHeader& header, std::string_view context,
                   const std::vector<uint8_t>& parameters) {
  TReply reply;
  std::function<void(TquvPackageWriter&)> writeParameters = [&](TquvPackageWriter& writer) {
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
              parameters == nullptr
                  ? nullptr
                  : std::function<void(TquvPackageWriter&)>([&](TquvPackageWriter& w) {
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
