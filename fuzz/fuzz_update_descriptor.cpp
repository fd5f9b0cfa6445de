// Reads arbitrary bytes as an update descriptor: every value reads without
// failing, and a value set in section "Attributes" reads back and goes again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "loader/quvUpdateDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quv::TUpdateDescriptor descriptor(std::string(reinterpret_cast<const char*>(data), size));
  descriptor.Exists();
  descriptor.UnzipPackPending();
  descriptor.GlobalVersion();
  descriptor.HardDependencies();
  descriptor.SourceFor("LINUX", "name");
  descriptor.DiffFile(descriptor.CheckSum());
  descriptor.Age();
  descriptor.SetAttribute("UnzipPackPending", "1");
  if (!descriptor.UnzipPackPending()) std::abort();
  descriptor.RemoveAttribute("UnzipPackPending");
  if (!descriptor.Attribute("UnzipPackPending").empty()) std::abort();
  return 0;
}
