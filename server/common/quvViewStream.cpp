#include "server/common/quvViewStream.h"

#include <algorithm>
#include <cstring>

namespace quv {

void TViewStream::SetSize(int64_t) { throw EStreamError("A read-only view cannot change"); }

int32_t TViewStream::Read(void* buffer, int32_t count) {
  const int64_t size = static_cast<int64_t>(FBytes.size());
  if (count <= 0 || FPosition >= size) return 0;
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - FPosition));
  std::memcpy(buffer, FBytes.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

int64_t TViewStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t base = origin == TSeekOrigin::Beginning ? 0
                       : origin == TSeekOrigin::Current ? FPosition
                                                        : static_cast<int64_t>(FBytes.size());
  if (base + offset < 0) return -1;
  FPosition = base + offset;
  return FPosition;
}

}  // namespace quv
