#include "transport/quvConn.h"

namespace quv {

void TCustomConn::SetSize(int64_t) {}

int64_t TCustomConn::Seek(int64_t, TSeekOrigin) { return 0; }

void TCustomConn::Log(std::string_view) {}

bool TCustomConn::TryLock() {
  Lock();
  return true;
}

void TCustomConn::AfterFlush() {}

}  // namespace quv
