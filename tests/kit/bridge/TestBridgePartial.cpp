// A bridge library that lacks "GetContext" and "SetInServerEnv": a process
// that finds it runs in the server's environment but has no context.
#include <cstdint>

extern "C" {

__attribute__((visibility("default"))) int32_t GetInServerEnv() { return 1; }

__attribute__((visibility("default"))) void SetContext(void*) {}

}  // extern "C"
