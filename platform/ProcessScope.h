#pragma once

#include "platform/ProcessSlot.h"

namespace quv {

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is
// closed, so that no file, socket or shared memory the program opens takes
// their numbers. Output descriptors get it read-only and input write-only:
// using them still fails with "Bad file descriptor", as on a closed one.
void OpenClosedStandardStreams();

// The platform layer's process-wide objects: the program's resource table,
// the table of delete-on-close temporary files and the spare stream
// mappings. Made first by every program (the standard descriptors taken
// before anything opens a file) and ended last. Not thread-safe: made and
// ended by the thread that runs main, while no other thread of the framework runs.
class TPlatformScope final {
 public:
  TPlatformScope();
  TPlatformScope(const TPlatformScope&) = delete;
  TPlatformScope& operator=(const TPlatformScope&) = delete;

 private:
  TScopeParts FParts;
};

}  // namespace quv
