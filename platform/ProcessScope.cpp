#include "platform/ProcessScope.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Resources.h"
#include "platform/Streams.h"
#include "platform/TempFile.h"

namespace quv {

namespace {

bool IsClosed(int descriptor) { return fcntl(descriptor, F_GETFD) == -1 && errno == EBADF; }

}  // namespace

void OpenClosedStandardStreams() {
  for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (!IsClosed(descriptor)) continue;
    const int flags = descriptor == STDIN_FILENO ? O_WRONLY : O_RDONLY;
    const int opened = open("/dev/null", flags);
    if (opened != -1 && opened != descriptor) {
      dup2(opened, descriptor);
      close(opened);
    }
  }
}

TPlatformScope::TPlatformScope() {
  OpenClosedStandardStreams();
  FParts.Add(MakeResourceTable());
  FParts.Add(MakeTempFileTable());
  FParts.Add(MakeSpareMappings());
}

}  // namespace quv
