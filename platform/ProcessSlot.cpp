#include "platform/ProcessSlot.h"

#include <string>

#include "platform/Exception.h"

namespace quv {

void RaiseNoProcessObject(const char* name) {
  throw Exception(std::string("No ") + name + " in this process: its scope has not been made");
}

void RaiseProcessObjectTwice(const char* name) {
  throw Exception(std::string("The process already has its ") + name);
}

}  // namespace quv
