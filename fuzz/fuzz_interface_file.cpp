// Any bytes, opened as an interface file and every interface in it loaded:
// the registry either reads them or raises its documented errors. The bytes
// reach the registry as the library's program resource, which stands for its
// file, so no run touches the disk.

#include <cstdlib>
#include <string>

#include "platform/Resources.h"
#include "server/common/quvIntfRegistry.h"

namespace {

bool IsDocumentedError(const quv::Exception& e) {
  return dynamic_cast<const quv::TquvInterfaceError*>(&e) != nullptr ||
         dynamic_cast<const quv::EReadError*>(&e) != nullptr;
}

void LoadEveryInterface(quv::TquvInterfaces& registry) {
  quv::TquvInterfaceLib& lib = registry.InternalGetItem("fuzz");
  for (const quv::TquvInterfaceRef& intf : lib.Interfaces()) {
    try {
      intf->Defs(false);
      intf->Defs(true);
    } catch (const quv::Exception& e) {
      if (!IsDocumentedError(e)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  quv::RegisterResource("QUVFILE", "FUZZ", bytes);
  quv::SetReadDescriptors((size & 1) != 0);
  {
    // A folder that does not exist: no extension files are found.
    quv::TquvInterfaces registry(quv::TquvLibraryOptions{"/nonexistent/fuzz", true, false});
    try {
      LoadEveryInterface(registry);
    } catch (const quv::Exception& e) {
      if (!IsDocumentedError(e)) std::abort();
    }
  }
  quv::UnregisterResource("QUVFILE", "FUZZ");
  return 0;
}
