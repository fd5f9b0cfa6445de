#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/common/quvRecordset.h"
#include "support/BrokerBridge.h"
#include "transport/quvCallExchange.h"
#include "transport/quvpack.h"

// One remote call exchange, over the network or through the broker bridge,
// with every failure turned into an error reply.
namespace quv {

// The tag under which a call carries its data source.
inline constexpr const char* kDefaultDataSourceTag = "QUVREQUEST/DEFAULTDS/1.0";

// Opens the connection of a call to `host` ("address[:port]"); raises when
// it cannot.
using TquvCallConnFactory = std::function<std::unique_ptr<TCustomConn>(const std::string& host)>;

// Replaces how calls open their connections (empty: a pooled TClientConn),
// so that tests can wrap the real connection. Thread-safe.
void SetCallConnFactory(TquvCallConnFactory factory);

// Makes the client's broker bridge, looked up beside the executable.
std::unique_ptr<TScopePart> MakeClientBrokerBridge();
// The client's broker bridge.
const TBrokerBridge& ClientBrokerBridge();
// The calling thread's broker context; none outside the server's environment.
TRef<IquvBrokerContext> ClientBrokerContext();

// The calling thread's call context text, sent with its calls when the
// caller gives no context of its own (empty: none).
void SetThreadCallContext(std::string text);
const std::string& ThreadCallContext();

// Runs the call of `header` on `host` (empty: the locator's server for the
// method's library) with `parameters` (or none) as call kind `kind`. The
// reply's header replaces `header`; a recordset reply is loaded into `result`
// (which takes the method's definitions when it has none); an error text, or the text of any
// failure ("Erro chamando " + method + ":" + cause, with result kind 2), goes to `errorText`.
// `context`, when given, is sent as the call context. Never raises.
void ExecCommand(const std::string& host, const TquvTagBag* context, TquvCommandHeader& header,
                 const TquvCallProgress& progress, TquvRecordset& result, std::string& errorText,
                 TquvRecordset* parameters, uint8_t kind);

// How long the connect loop of a call of `method` keeps trying: 15000 ms,
// 5000 ms for a task cancel, lowered to `timeoutMs` when that is smaller.
int32_t ConnectTimeoutFor(const std::string& method, int32_t timeoutMs);

}  // namespace quv
