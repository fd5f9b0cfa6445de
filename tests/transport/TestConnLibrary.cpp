// The optional access library of the tests: access is allowed unless the
// environment variable QUV_TEST_DENY_ACCESS is set.
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) bool GetEnabled() {
  return std::getenv("QUV_TEST_DENY_ACCESS") == nullptr;
}
