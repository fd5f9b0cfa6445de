#pragma once

#include <mutex>
#include <string>

#include "app/CancelTargets.h"

namespace quv {

// The local record of every cancel the viewer asked for: one UTF-8 line per
// cancel, appended, with tab-separated fields: local time (yyyy-mm-dd
// hh:nn:ss), the user who ran the viewer, host label, address, "tarefa" or
// "sessão", request id or session key, and "ok" or "falha: <cause>".
// A log that cannot be written is reported by the caller's error text and
// never stops a cancel. Thread-safe.
class TCancelAuditLog final {
 public:
  explicit TCancelAuditLog(std::string fileName) : FFileName(std::move(fileName)) {}

  // "<user data folder>/quvtasks/cancelamentos.log".
  static std::string DefaultFileName();

  const std::string& FileName() const { return FFileName; }
  // Appends one line; false when the file could not be written.
  bool Append(const TCancelOutcome& outcome);

 private:
  const std::string FFileName;
  std::mutex FLock;
};

// The line Append writes, without its line break.
std::string AuditLine(double when, const std::string& user, const TCancelOutcome& outcome);

}  // namespace quv
