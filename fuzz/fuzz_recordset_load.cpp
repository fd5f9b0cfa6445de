// Any bytes loaded as a serialised recordset over fields of every kind, then
// every field of every row read (and every nested recordset opened): only the
// project's own errors may come out, never a crash or an unbounded allocation.

#include <cstdint>
#include <vector>

#include "fuzz/PrivateTempFolder.h"
#include "fuzz/ReadEveryField.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quv::fuzz::UsePrivateTempFolder();
  for (bool cacheBlobs : {false, true}) {
    quv::TquvRecordset recordset;
    recordset.SetFieldDefs(quv::fuzz::EveryKindDefs());
    recordset.CacheBlobs = cacheBlobs;
    quv::TMemoryStream stream(std::vector<uint8_t>(data, data + size));
    try {
      recordset.LoadFromStream(stream, cacheBlobs);
    } catch (const quv::Exception&) {
      continue;
    }
    quv::fuzz::ReadEveryField(recordset);
  }
  return 0;
}
