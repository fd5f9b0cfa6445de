// Any bytes, read as a definition set in every combination of the reader's
// options: the reader either fills the set or raises its documented errors,
// and a set it filled writes and rereads to the same bytes.

#include <cstdlib>
#include <vector>

#include "server/common/quvIntf.h"

namespace {

bool IsDocumentedError(const quv::Exception& e) {
  return dynamic_cast<const quv::TquvInterfaceError*>(&e) != nullptr ||
         dynamic_cast<const quv::EReadError*>(&e) != nullptr;
}

void ReadOnce(const std::uint8_t* data, std::size_t size, bool withGroups, int32_t level) {
  quv::TMemoryStream input(std::vector<std::uint8_t>(data, data + size));
  quv::TquvSymbolDefs defs;
  try {
    defs.ReadFromStream(input, true, level, withGroups);
  } catch (const quv::Exception& e) {
    if (!IsDocumentedError(e)) std::abort();
    return;
  }
  // Only a full-form set with nothing lost rereads byte for byte; any set must
  // at least write and reread.
  quv::TMemoryStream output;
  defs.WriteToStream(output, 0, level, withGroups);
  output.SetPosition(0);
  quv::TquvSymbolDefs again;
  again.ReadFromStream(output, true, level, withGroups);
  if (again.Count() != defs.Count()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the options; the rest is the stream.
  ReadOnce(data + 1, size - 1, (data[0] & 1) != 0, (data[0] & 2) != 0 ? 2 : 1);
  return 0;
}
