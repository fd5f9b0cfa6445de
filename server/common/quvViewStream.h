#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Streams.h"

namespace quv {

// A read-only stream over bytes it borrows: they must outlive the stream.
// Writes move nothing; changing the size raises EStreamError. Several views
// may read the same bytes on different threads.
class TViewStream final : public TStream {
 public:
  explicit TViewStream(std::string_view bytes) : FBytes(bytes) {}

  void SetSize(int64_t) override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

 private:
  std::string_view FBytes;
  int64_t FPosition = 0;
};

}  // namespace quv
