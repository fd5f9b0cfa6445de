#include "appserver/quvsystem.h"

#include <array>
#include <cstdio>

#include "platform/Cp1252.h"
#include "platform/StrUtils.h"

namespace quv {

namespace {

// quvsystem.sessions.watch waits at most this long.
constexpr int32_t kLongestWatchMs = 3600000;

TVariant BooleanText(bool value) { return TVariant(value ? "true" : "false"); }

// A date-time as decimal text that reads back to the same double.
std::string DateTimeText(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string TextParameter(const TMethodCall& call, std::string_view name) {
  return call.Parameter(name).ToText();
}

TMethodResult ListTasks(const TMethodCall& call, const TServerState& state) {
  auto rows = std::make_unique<TquvRecordset>("", call.Header.MethodName);
  std::array<TVariant, 7> values;
  for (const TRequestInfo& request : state.Requests()) {
    values = {TVariant(std::to_string(request.RequestNumber)),
              TVariant(request.Client),
              TVariant(request.Method),
              TVariant(std::to_string(request.ElapsedMs)),
              BooleanText(request.SystemCommand),
              TVariant(request.UserName),
              BooleanText(request.Cancelled)};
    rows->AppendValues(values);
  }
  return TMethodResult::Reply(std::move(rows));
}

TMethodResult ListSessions(const TMethodCall& call, const TServerState& state) {
  auto rows = std::make_unique<TquvRecordset>("", call.Header.MethodName);
  std::array<TVariant, 6> values;
  for (const TSessionInfo& session : state.Sessions()) {
    values = {
        TVariant(session.Key),       TVariant(session.UserName), DateTimeText(session.CreationTime),
        BooleanText(session.Active), TVariant(session.Source),   TVariant(session.Licence)};
    rows->AppendValues(values);
  }
  return TMethodResult::Reply(std::move(rows));
}

TMethodResult OpenSession(const TMethodCall& call, TServerState& state) {
  const std::string userName = TextParameter(call, "username");
  const std::string licence = TextParameter(call, "licenceinfo");
  if (userName.empty()) return TMethodResult::Error("quvsystem.sessions.open needs a username");
  const std::string key = state.OpenSession(userName, licence, call.Peer);
  auto rows = std::make_unique<TquvRecordset>("", call.Header.MethodName);
  const std::array<TVariant, 3> values = {TVariant(userName), TVariant(licence), TVariant(key)};
  rows->AppendValues(values);
  return TMethodResult::Reply(std::move(rows));
}

TMethodResult CancelTask(const TMethodCall& call, TServerState& state) {
  const std::string text = TextParameter(call, "requestid");
  int32_t requestNumber = 0;
  if (!TryStrToInt(text, requestNumber))
    return TMethodResult::Error(std::string("Número de requisição inválido: "_cp) +
                                QuotedText(text));
  if (!state.CancelRequest(requestNumber))
    return TMethodResult::Error(std::string("Requisição não encontrada: "_cp) + text);
  return TMethodResult();
}

TMethodResult CancelSession(const TMethodCall& call, TServerState& state) {
  const std::string key = TextParameter(call, "sessionkey");
  if (!state.CloseSession(key)) return TMethodResult::Error(UnknownSessionText(key));
  return TMethodResult();
}

TMethodResult WatchSession(const TMethodCall& call, const TServerState& state) {
  const std::string key = SessionKeyOfContext(call.Context);
  if (key.empty()) return TMethodResult::Error("quvsystem.sessions.watch needs a session");
  int32_t ms = 0;
  if (!TryStrToInt(TextParameter(call, "ms"), ms) || ms < 0 || ms > kLongestWatchMs)
    return TMethodResult::Error("quvsystem.sessions.watch waits 0 to " +
                                std::to_string(kLongestWatchMs) + " ms");
  call.Control.WaitForCancel(static_cast<uint32_t>(ms));
  auto rows = std::make_unique<TquvRecordset>("", call.Header.MethodName);
  const std::array<TVariant, 2> values = {TVariant(std::to_string(ms)),
                                          BooleanText(state.SessionOpen(key))};
  rows->AppendValues(values);
  return TMethodResult::Reply(std::move(rows));
}

}  // namespace

void RegisterQuvSystem(TMethodRegistry& methods, TServerState& state) {
  methods.Register("quvsystem.tasks.list",
                   [&state](const TMethodCall& call) { return ListTasks(call, state); });
  methods.Register("quvsystem.sessions.list",
                   [&state](const TMethodCall& call) { return ListSessions(call, state); });
  methods.Register("quvsystem.sessions.open",
                   [&state](const TMethodCall& call) { return OpenSession(call, state); });
  methods.Register("quvsystem.tasks.cancel",
                   [&state](const TMethodCall& call) { return CancelTask(call, state); });
  methods.Register("quvsystem.sessions.cancel",
                   [&state](const TMethodCall& call) { return CancelSession(call, state); });
  methods.Register("quvsystem.sessions.watch",
                   [&state](const TMethodCall& call) { return WatchSession(call, state); });
}

}  // namespace quv
