// The process state of every fuzz target: one client scope for the whole
// run, made before the first input and ended when the fuzzer exits.

#include <cstdint>
#include <memory>

#include "client/quvClientScope.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static const std::unique_ptr<quv::TClientScope> scope = std::make_unique<quv::TClientScope>();
  return 0;
}
