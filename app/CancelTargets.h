#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/TaskRows.h"

// What a cancel acts on, and how the operator reads it. Texts are
// Windows-1252 bytes.

namespace quv {

struct TCancelTarget {
  std::string Method;      // the server's cancel method
  std::string ParamName;   // its one parameter
  std::string ParamValue;  // the request id or the session key
  std::string HostLine;
  std::size_t Host = 0;  // index of the host line in the host list
  // "a tarefa 7 (app.run, ana) em B (10.0.0.5)", "a sessão de ana em B
  // (10.0.0.5), estação WS-12": what the operator sees, never a bare key.
  std::string Description;
};

// How one cancel ended: Cause is empty when the server took it.
struct TCancelOutcome {
  TCancelTarget Target;
  std::string Cause;
  bool Logged = true;  // whether the audit log took it
  bool Done() const { return Cause.empty(); }
};

// Rows of hosts without reply stand for no task and give no target.
bool CanCancel(const TTaskRow& row);
TCancelTarget TaskCancelTarget(const TTaskRow& row);
TCancelTarget SessionCancelTarget(const TSessionRow& row);

// Whether two targets name the same task or session on the same host.
bool SameTarget(const TCancelTarget& a, const TCancelTarget& b);

// The question asked before cancelling: one target in one line, several as
// a count followed by one line per target.
std::string ConfirmationText(const std::vector<TCancelTarget>& targets);

// "Cancelamento aceito: a tarefa ..." or "Não foi possível cancelar a tarefa ...: cause".
std::string OutcomeText(const TCancelOutcome& outcome);

}  // namespace quv
