// A component library for the loader's tests: registering it creates the
// file named by QUV_TEST_REGISTERED, or fails when QUV_TEST_REGISTER_FAILS is set.

#include <cstdint>
#include <cstdlib>
#include <fstream>

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
  if (std::getenv("QUV_TEST_REGISTER_FAILS") != nullptr) return 1;
  const char* marker = std::getenv("QUV_TEST_REGISTERED");
  if (marker == nullptr) return 1;
  std::ofstream(marker) << "registered";
  return 0;
}
