#include "app/HostConfig.h"

#include <algorithm>

#include "platform/Cp1252.h"
#include "platform/ExePath.h"
#include "platform/IniFile.h"
#include "platform/StrUtils.h"
#include "platform/UserFolders.h"
#include "transport/quvAddress.h"

namespace quv {

std::string SettingsFileName(const std::string& executablePath) {
  const bool nameHasExe =
      AnsiLowerCase(ExtractFileName(executablePath)).find(".exe") != std::string::npos;
  // ".exe" and ".ini" have the same length, so positions in the lower-case copy stay valid.
  const std::string lower = AnsiLowerCase(executablePath);
  std::string result = executablePath;
  for (std::size_t at = lower.find(".exe"); at != std::string::npos;
       at = lower.find(".exe", at + 4))
    result.replace(at, 4, ".ini");
  return nameHasExe ? result : result + ".ini";
}

namespace {

// Why a host line of the settings file cannot stand, given the lines before
// it; empty when it can. Labels name rows, so two servers must not share one.
std::string HostLineProblem(const std::string& line, const std::vector<std::string>& before) {
  try {
    // A character the code page lacks would become '?' and name another server.
    Utf8ToCp1252Exact(line);
  } catch (const ECodePageError& e) {
    return e.what();
  }
  const std::string label = HostLabel(line);
  if (std::any_of(before.begin(), before.end(), [&](const std::string& other) {
        return AnsiCompareText(HostLabel(other), Utf8ToCp1252(label)) == 0;
      }))
    return "the label " + label + " is used twice";
  return AddressProblem(HostAddress(line));
}

}  // namespace

THostConfig LoadHostConfig(const std::string& settingsFile, const std::string* firstArgument) {
  const TIniFile ini(settingsFile);
  THostConfig config;
  config.Title = TextFileToUtf8(ini.ReadString("MAIN", "TITLE", ""));
  config.WarnSeconds = StrToIntDef(ini.ReadString("MAIN", "WARNSECONDS", ""), config.WarnSeconds);
  config.AlertSeconds =
      StrToIntDef(ini.ReadString("MAIN", "ALERTSECONDS", ""), config.AlertSeconds);
  config.ConfirmCancel = ini.ReadString("MAIN", "CONFIRMCANCEL", "0") == "1";
  config.FoldNoConnection = ini.ReadString("MAIN", "FOLDNOCONNECTION", "1") != "0";
  config.ViewStateFile = UserConfigFolder() + "/quvtasks/vista.ini";
  config.RecordFile = TextFileToUtf8(ini.ReadString("MAIN", "RECORDFILE", ""));
  for (const std::string& line : ini.ReadSectionValues("Hosts")) {
    const std::string problem = HostLineProblem(line, config.Hosts);
    if (!problem.empty())
      throw EHostConfigError(settingsFile + ": [Hosts] " + line + ": " + problem);
    config.Hosts.push_back(Utf8ToCp1252(line));
  }
  if (config.Hosts.empty())
    config.Hosts.push_back("1=" + (firstArgument ? Utf8ToCp1252(*firstArgument) : "127.0.0.1"));
  return config;
}

std::string HostAddress(const std::string& hostLine) {
  const std::size_t eq = hostLine.find('=');
  return eq == std::string::npos ? hostLine : hostLine.substr(eq + 1);
}

std::string HostLabel(const std::string& hostLine) {
  const std::size_t eq = hostLine.find('=');
  return eq == std::string::npos ? std::string() : hostLine.substr(0, eq);
}

std::string HostDescription(const std::string& hostLine) {
  const std::string label = HostLabel(hostLine);
  const std::string address = HostAddress(hostLine);
  return label.empty() ? address : label + " (" + address + ")";
}

}  // namespace quv
