#pragma once

#include <cstdint>
#include <string>

#include "platform/IniFile.h"
#include "platform/ProcessSlot.h"

namespace quv {

// The client settings as read from one source.
struct TquvClientSettings {
  bool Debug = false;
  std::string ForceAddress;  // Windows-1252 bytes
  bool RequestCompression = false;
  int32_t Timeout = 600000;
  int32_t UserTimeout = 1800000;
  // Where the locator's UDP request goes: the broadcast address and port by
  // default; a single-machine set-up or a test points them at loopback.
  std::string LocatorAddress = "255.255.255.255";
  int32_t LocatorPort = 6015;
};

// The section CLIENT of `source`: each key present replaces the value of
// `defaults`; a value that is not a decimal integer keeps it.
TquvClientSettings ReadClientSettings(const TIniFile& source, const TquvClientSettings& defaults);

// Makes the process-wide client settings, loading them (see TquvClientCfg).
std::unique_ptr<TScopePart> MakeClientSettings();

// The process-wide client settings, loaded by the client scope from the per-user
// store of key "SOFTWARE\TALVERO\KORB" and then from quvclient.ini beside the
// executable, whose values win. Class-level only. Readers on any thread;
// Timeout is an atomic, so SetTimeout may race with them.
class TquvClientCfg final {
 public:
  TquvClientCfg() = delete;

  static bool Debug();
  static std::string ForceAddress();
  static bool RequestCompression();
  static int32_t Timeout();
  static void SetTimeout(int32_t ms);
  static int32_t UserTimeout();
  static std::string LocatorAddress();
  // From 1 to 65535; a value outside that range loads as 6015.
  static uint16_t LocatorPort();

  // Loads again from the given files (a missing file gives the defaults).
  // For start-up and tests only: it must not race with readers.
  static void LoadFrom(const std::string& storeFileName, const std::string& iniFileName);
};

inline constexpr const char* kClientSettingsKey = "SOFTWARE\\TALVERO\\KORB";

// quvclient.ini in the folder of `executablePath`.
std::string ClientIniFileName(const std::string& executablePath);

}  // namespace quv
