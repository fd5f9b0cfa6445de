// Any bytes opened as a serialised recordset over fields of every kind, its
// rows read where they lie in the stream, then every field of every row read
// (and every nested recordset opened); then the same bytes behind a prefix,
// as a recordset that does not start at the stream's beginning. Only the
// project's own errors may come out.

#include <cstdint>
#include <vector>

#include "fuzz/PrivateTempFolder.h"
#include "fuzz/ReadEveryField.h"

namespace {

void OpenAndRead(quv::TStream& stream, bool cacheBlobs) {
  quv::TquvRecordset recordset;
  recordset.SetFieldDefs(quv::fuzz::EveryKindDefs());
  recordset.CacheBlobs = cacheBlobs;
  try {
    recordset.Open(stream);
  } catch (const quv::Exception&) {
    return;
  }
  quv::fuzz::ReadEveryField(recordset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quv::fuzz::UsePrivateTempFolder();
  constexpr int kPrefix = 3;
  std::vector<uint8_t> bytes(kPrefix, 0xA5);
  bytes.insert(bytes.end(), data, data + size);
  for (bool cacheBlobs : {false, true}) {
    quv::TMemoryStream whole(std::vector<uint8_t>(data, data + size));
    OpenAndRead(whole, cacheBlobs);
  }
  quv::TMemoryStream behindPrefix(bytes);
  behindPrefix.SetPosition(kPrefix);
  OpenAndRead(behindPrefix, false);
  return 0;
}
