#pragma once

#include "platform/ProcessScope.h"
#include "platform/ProcessSlot.h"

namespace quv {

// The process-wide objects of the framework below the network: the platform
// scope first, then the JSON block cache, the caption dictionary, the
// expression function modules, the buffer manager, the temporary stream
// names (files that ended processes left are swept as they are made) and the
// shared definition sets. Ended in reverse order. Every program makes one in
// main (a client program through its client scope) before it uses the
// framework; not thread-safe: made and ended on the thread that runs main.
class TProcessScope final {
 public:
  TProcessScope();
  TProcessScope(const TProcessScope&) = delete;
  TProcessScope& operator=(const TProcessScope&) = delete;

 private:
  TPlatformScope FPlatform;
  TScopeParts FParts;
};

}  // namespace quv
