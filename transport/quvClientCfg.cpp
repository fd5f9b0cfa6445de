#include "transport/quvClientCfg.h"

#include <atomic>

#include "platform/Cp1252.h"
#include "platform/ExePath.h"
#include "platform/StrUtils.h"
#include "platform/UserSettings.h"

namespace quv {

namespace {

constexpr const char* kSection = "CLIENT";
constexpr int32_t kDefaultUserTimeout = 1800000;
constexpr int32_t kMaxPort = 65535;

int32_t ReadInteger(const TIniFile& source, const char* key, int32_t defaultValue) {
  return StrToIntDef(source.ReadString(kSection, key, std::string()), defaultValue);
}

std::string ReadText(const TIniFile& source, const char* key, const std::string& defaultValue) {
  return source.ValueExists(kSection, key)
             ? Utf8ToCp1252(source.ReadString(kSection, key, std::string()))
             : defaultValue;
}

bool ReadBool(const TIniFile& source, const char* key, bool defaultValue) {
  return ReadInteger(source, key, defaultValue ? 1 : 0) != 0;
}

// The settings besides Timeout are written only while loading, before any reader.
struct TState {
  TState();
  TquvClientSettings Settings;
  std::atomic<int32_t> Timeout{TquvClientSettings().Timeout};
};

void Apply(TState& state, const std::string& storeFileName, const std::string& iniFileName) {
  TquvClientSettings settings = ReadClientSettings(TIniFile(storeFileName), TquvClientSettings());
  settings = ReadClientSettings(TIniFile(iniFileName), settings);
  if (settings.UserTimeout <= 0) settings.UserTimeout = kDefaultUserTimeout;
  if (settings.LocatorPort <= 0 || settings.LocatorPort > kMaxPort)
    settings.LocatorPort = TquvClientSettings().LocatorPort;
  state.Settings = settings;
  state.Timeout.store(settings.Timeout);
}

TState::TState() {
  Apply(*this, UserSettingsFileName(kClientSettingsKey), ClientIniFileName(ExecutablePath()));
}

constinit TProcessSlot<TState> gState("client settings");

TState& LoadedState() { return *gState; }

}  // namespace

std::unique_ptr<TScopePart> MakeClientSettings() { return gState.Make(); }

TquvClientSettings ReadClientSettings(const TIniFile& source, const TquvClientSettings& defaults) {
  TquvClientSettings settings;
  settings.Debug = ReadBool(source, "DEBUG", defaults.Debug);
  settings.ForceAddress = ReadText(source, "FORCEADDRESS", defaults.ForceAddress);
  settings.RequestCompression = ReadBool(source, "REQUESTCOMPRESSION", defaults.RequestCompression);
  settings.Timeout = ReadInteger(source, "TIMEOUT", defaults.Timeout);
  settings.UserTimeout = ReadInteger(source, "USERTIMEOUT", defaults.UserTimeout);
  settings.LocatorAddress = ReadText(source, "LOCATORADDRESS", defaults.LocatorAddress);
  settings.LocatorPort = ReadInteger(source, "LOCATORPORT", defaults.LocatorPort);
  return settings;
}

bool TquvClientCfg::Debug() { return LoadedState().Settings.Debug; }

std::string TquvClientCfg::ForceAddress() { return LoadedState().Settings.ForceAddress; }

bool TquvClientCfg::RequestCompression() { return LoadedState().Settings.RequestCompression; }

int32_t TquvClientCfg::Timeout() { return LoadedState().Timeout.load(std::memory_order_relaxed); }

void TquvClientCfg::SetTimeout(int32_t ms) {
  LoadedState().Timeout.store(ms, std::memory_order_relaxed);
}

int32_t TquvClientCfg::UserTimeout() { return LoadedState().Settings.UserTimeout; }

std::string TquvClientCfg::LocatorAddress() { return LoadedState().Settings.LocatorAddress; }

uint16_t TquvClientCfg::LocatorPort() {
  return static_cast<uint16_t>(LoadedState().Settings.LocatorPort);
}

void TquvClientCfg::LoadFrom(const std::string& storeFileName, const std::string& iniFileName) {
  Apply(LoadedState(), storeFileName, iniFileName);
}

std::string ClientIniFileName(const std::string& executablePath) {
  return ExtractFileDir(executablePath) + "/quvclient.ini";
}

}  // namespace quv
