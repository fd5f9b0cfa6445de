#pragma once

#include <cstdint>
#include <string>

// Controls of the tests' broker bridge library, besides the four exports a
// real bridge has. Tests find them with dlsym in the loaded library.

// What the next contexts report and how their call operation answers.
struct TTestBridgeContext {
  int32_t Number = 0;
  int32_t LogLevel = 0;
  int32_t LogMode = 0;
  std::string Category1;  // the log category of mode 1
  std::string Category2;  // the log category of mode 2
  bool EchoInput = true;  // the call answers its input with status 0
  uint8_t Status = 0;     // otherwise it answers Output with this status (2: error text)
  std::string Output;
};

extern "C" {
// Every thread's context from now on has these fields; null: no context.
using TTestBridgeSetContextFunc = void(const TTestBridgeContext* fields);
// The method name and call context text of the last call operation.
using TTestBridgeLastCallFunc = void(std::string* method, std::string* callContext);
}
