#include "support/BrokerBridge.h"

namespace quv {

TBrokerBridge TBrokerBridge::Load(const std::string& fileName) {
  TBrokerBridge bridge;
  bridge.FLibrary = TDynamicLibrary::Load(fileName);
  bridge.FGetContext = bridge.FLibrary.Function<TGetContextFunc>("GetContext");
  bridge.FGetInServerEnv = bridge.FLibrary.Function<TGetInServerEnvFunc>("GetInServerEnv");
  bridge.FSetContext = bridge.FLibrary.Function<TSetContextFunc>("SetContext");
  bridge.FSetInServerEnv = bridge.FLibrary.Function<TSetInServerEnvFunc>("SetInServerEnv");
  return bridge;
}

TBrokerBridge TBrokerBridge::LoadBesideExecutable() {
  return Load(LibraryFileNameBesideExecutable(kBrokerBridgeLibrary));
}

TRef<IquvBrokerContext> TBrokerBridge::GetContext() const {
  if (FGetContext == nullptr) return nullptr;
  return TRef<IquvBrokerContext>::Adopt(FGetContext());
}

}  // namespace quv
