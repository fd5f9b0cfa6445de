#include "expr/ExprFunctionModules.h"

#include <algorithm>

#include "expr/ExprNodes.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

constinit TProcessSlot<TExprFunctionModuleManager> gManager("function module registry");

}  // namespace

std::unique_ptr<TScopePart> TExprFunctionModuleManager::Make() { return gManager.Make(); }

TExprFunctionModuleManager& TExprFunctionModuleManager::Instance() { return *gManager; }

void TExprFunctionModuleManager::Register(std::shared_ptr<IExprFunctionModule> module) {
  if (!module) return;
  const std::vector<std::string> names = module->FunctionNames();
  std::lock_guard lock(FLock);
  for (const std::string& name : names) FNames[AnsiUpperCase(name)] = module;
  FModules.push_back(std::move(module));
  FHasNames = !FNames.empty();
}

void TExprFunctionModuleManager::Unregister(const IExprFunctionModule* module) {
  std::lock_guard lock(FLock);
  std::erase_if(FNames, [module](const auto& entry) { return entry.second.get() == module; });
  std::erase_if(FModules, [module](const auto& item) { return item.get() == module; });
  FHasNames = !FNames.empty();
}

bool TExprFunctionModuleManager::Invoke(TExprParser& parser, TExprFunc& call, TVariant& result) {
  if (!FHasNames) return false;  // the usual case: no modules, no lock
  std::shared_ptr<IExprFunctionModule> module;
  {
    std::lock_guard lock(FLock);
    const auto found = FNames.find(AnsiUpperCase(call.Name()));
    if (found == FNames.end()) return false;
    module = found->second;
  }
  module->Invoke(parser, call, result);
  return true;
}

}  // namespace quv
