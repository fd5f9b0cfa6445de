#include "app/CancelAuditLog.h"

#include <fstream>

#include "app/HostConfig.h"
#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "platform/UserFolders.h"

namespace quv {

namespace {

// Tabs and line breaks inside a field would split the line: they read as spaces.
std::string Field(const std::string& cp1252) {
  std::string text = Cp1252ToUtf8(cp1252);
  for (char& c : text)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return text;
}

std::string ParentFolder(const std::string& fileName) {
  const std::size_t slash = fileName.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string() : fileName.substr(0, slash);
}

}  // namespace

std::string TCancelAuditLog::DefaultFileName() {
  return UserDataFolder() + "/quvtasks/cancelamentos.log";
}

bool TCancelAuditLog::Append(const TCancelOutcome& outcome) {
  const std::string line = AuditLine(LocalNow(), CurrentUserName(), outcome) + "\n";
  std::lock_guard<std::mutex> guard(FLock);
  const std::string folder = ParentFolder(FFileName);
  if (!folder.empty()) ForceDirectories(folder);
  std::ofstream file(FFileName, std::ios::app | std::ios::binary);
  file << line;
  file.flush();
  return file.good();
}

std::string AuditLine(double when, const std::string& user, const TCancelOutcome& outcome) {
  const TCancelTarget& target = outcome.Target;
  const bool task = target.ParamName == "requestid";
  return DateTimeToIsoText(when) + "\t" + user + "\t" + Field(HostLabel(target.HostLine)) +
         "\t" + Field(HostAddress(target.HostLine)) + "\t" + (task ? "tarefa" : "sessão") +
         "\t" + Field(target.ParamValue) + "\t" +
         (outcome.Done() ? std::string("ok") : "falha: " + Field(outcome.Cause));
}

}  // namespace quv
