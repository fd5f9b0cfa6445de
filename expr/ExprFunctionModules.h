#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ProcessSlot.h"
#include "support/Variant.h"

namespace quv {

class TExprParser;
class TExprFunc;

// A set of functions that every expression parser of the process can call.
// Invoke may be called on several threads at once, for different parsers.
class IExprFunctionModule {
 public:
  virtual ~IExprFunctionModule() = default;
  // The names it handles, compared without regard to case.
  virtual std::vector<std::string> FunctionNames() const = 0;
  // Computes `call`; the arguments are evaluated through call.EvaluateArgument.
  virtual void Invoke(TExprParser& parser, TExprFunc& call, TVariant& result) = 0;
};

// The process-wide registry of function modules, asked before a parser's own
// OnFunction. A name registered twice goes to the module registered last.
// Thread-safe; a module is called outside the registry's lock, so it may
// evaluate arguments that call other modules.
class TExprFunctionModuleManager final {
 public:
  // Makes the process's registry.
  static std::unique_ptr<TScopePart> Make();
  // The process's registry.
  static TExprFunctionModuleManager& Instance();

  void Register(std::shared_ptr<IExprFunctionModule> module);
  // Removes the module and the names it registered.
  void Unregister(const IExprFunctionModule* module);
  // False when no module handles the call's name.
  bool Invoke(TExprParser& parser, TExprFunc& call, TVariant& result);

 private:
  std::mutex FLock;
  std::vector<std::shared_ptr<IExprFunctionModule>> FModules;
  // Upper-cased function name to its module.
  std::map<std::string, std::shared_ptr<IExprFunctionModule>> FNames;
  std::atomic<bool> FHasNames{false};
};

}  // namespace quv
