#pragma once

#include <cstdint>
#include <string>

#include "platform/DynamicLibrary.h"
#include "support/COM.h"

namespace quv {

// The broker context that the optional bridge library hands to a thread
// running inside the server's environment: exactly what the remote call and
// the log files take from it.
class IquvBrokerContext : public virtual IInterface {
 public:
  static constexpr TGUID IID = {
      0x6B0E2F41, 0x93C7, 0x4E55, {0xA1, 0x2D, 0x5F, 0x80, 0x3C, 0x17, 0xB9, 0x64}};

  // Runs `method` in-process. The streams are byte strings until the stream
  // classes exist: `input` holds the serialised parameters recordset and
  // `output` receives an error text when `status` is 2, else the serialised
  // reply recordset.
  virtual void Call(const std::string& method, const std::string& callContext,
                    const std::string& input, std::string& output, uint8_t& status) = 0;
  virtual int32_t Number() = 0;
  virtual int32_t LogLevel() = 0;
  virtual int32_t LogMode() = 0;
  // The log category of `mode` (1 or 2).
  virtual std::string LogCategory(int32_t mode) = 0;
};

// The library's exports. Calling convention: C linkage; GetContext returns a
// context with one reference taken for the caller, or null.
extern "C" {
using TGetContextFunc = IquvBrokerContext*();
using TGetInServerEnvFunc = int32_t();
using TSetContextFunc = void(IquvBrokerContext*);
using TSetInServerEnvFunc = void(int32_t);
}

inline constexpr const char* kBrokerBridgeLibrary = "quvbrokerbridge.dll";

// One look-up of the optional broker bridge library. A missing library, one
// that does not load and a missing export are no error: they mean no broker.
// Each user of the bridge keeps its own; contexts it hands out must not
// outlive it. Thread-safe once loaded.
class TBrokerBridge final {
 public:
  TBrokerBridge() = default;
  // Looks for the library at `fileName`.
  static TBrokerBridge Load(const std::string& fileName);
  // Looks for "quvbrokerbridge.dll" (libquvbrokerbridge.so) beside the executable.
  static TBrokerBridge LoadBesideExecutable();

  // Whether the library was found and loaded: the process then runs in the
  // server's environment.
  bool Present() const { return FLibrary.Loaded(); }
  bool HasGetContext() const { return FGetContext != nullptr; }
  bool HasGetInServerEnv() const { return FGetInServerEnv != nullptr; }
  bool HasSetContext() const { return FSetContext != nullptr; }
  bool HasSetInServerEnv() const { return FSetInServerEnv != nullptr; }
  // The calling thread's context; none without the export or when it yields none.
  TRef<IquvBrokerContext> GetContext() const;

 private:
  TDynamicLibrary FLibrary;
  TGetContextFunc* FGetContext = nullptr;
  TGetInServerEnvFunc* FGetInServerEnv = nullptr;
  TSetContextFunc* FSetContext = nullptr;
  TSetInServerEnvFunc* FSetInServerEnv = nullptr;
};

}  // namespace quv
