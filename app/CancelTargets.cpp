#include "app/CancelTargets.h"

#include "app/HostConfig.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

// Named apart: clang 14 crashes on some code-page literals inside expressions.
constexpr std::string_view kSessionOf = "a sessão de "_cp;
constexpr std::string_view kWorkstation = ", estação "_cp;
constexpr std::string_view kCouldNotCancel = "Não foi possível cancelar "_cp;

}  // namespace

bool CanCancel(const TTaskRow& row) { return !row.NoConnection; }

TCancelTarget TaskCancelTarget(const TTaskRow& row) {
  std::string description = "a tarefa " + std::to_string(row.RequestId) + " (" + row.RequestDesc;
  if (!row.UserName.empty()) description += ", " + row.UserName;
  description += ") em " + HostDescription(row.HostLine);
  return {"quvsystem.tasks.cancel", "requestid", std::to_string(row.RequestId),
          row.HostLine,             row.Host,    std::move(description)};
}

TCancelTarget SessionCancelTarget(const TSessionRow& row) {
  std::string description = std::string(kSessionOf) + row.UserName + " em " +
                            HostDescription(row.HostLine);
  if (!row.Source.empty()) description += std::string(kWorkstation) + row.Source;
  return {"quvsystem.sessions.cancel", "sessionkey", row.SessionKey,
          row.HostLine,                row.Host,     std::move(description)};
}

bool SameTarget(const TCancelTarget& a, const TCancelTarget& b) {
  return a.Host == b.Host && a.Method == b.Method && a.ParamValue == b.ParamValue;
}

std::string ConfirmationText(const std::vector<TCancelTarget>& targets) {
  if (targets.size() == 1) return "Cancelar " + targets.front().Description + "?";
  std::string text = "Cancelar estes " + std::to_string(targets.size()) + " itens?";
  for (const TCancelTarget& target : targets) text += "\n- " + target.Description;
  return text;
}

std::string OutcomeText(const TCancelOutcome& outcome) {
  if (outcome.Done()) return "Cancelamento aceito: " + outcome.Target.Description;
  return std::string(kCouldNotCancel) + outcome.Target.Description + ": " +
         outcome.Cause;
}

}  // namespace quv
