#pragma once

#include "appserver/quvMethods.h"
#include "appserver/quvServerState.h"

namespace quv {

// The methods of the library "quvsystem" over the server's state; every
// field is text, as the interface file quvsystem.quv describes them:
// - quvsystem.tasks.list answers one row per request in flight, itself
//   included: requestid, clientdesc, requestdesc, ellapsedtime (ms),
//   systemcmd, username, cancelled;
// - quvsystem.sessions.list answers one row per open session: sessionkey,
//   username, creation_time (days since 30 December 1899), active, source,
//   licenceinfo;
// - quvsystem.sessions.open opens a session for its parameters username and
//   licenceinfo and answers them with the new sessionkey;
// - quvsystem.tasks.cancel cancels the requests numbered by its parameter
//   requestid; quvsystem.sessions.cancel closes the session of its
//   parameter sessionkey and cancels its requests;
// - quvsystem.sessions.watch waits its parameter ms milliseconds, or until
//   it is cancelled (as it is when its own session closes), and answers
//   whether its session is still open in active.
// Booleans read "true" or "false". "*state" must outlive the registry's use.
void RegisterQuvSystem(TMethodRegistry& methods, TServerState& state);

}  // namespace quv
