// Parses arbitrary texts as expressions and evaluates the ones that parse,
// with a few variables of every kind bound and every function answering with
// its evaluated arguments. Only the documented errors may come out.

#include <cstddef>
#include <cstdint>
#include <string>

#include "expr/ExprParser.h"
#include "platform/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quv::TExprParser parser;
  parser.NullPropagation = size % 2 == 0;
  parser.SetVariable("x", 7);
  parser.SetVariable("d", 2.5);
  parser.SetVariable("s", "texto");
  parser.SetVariable("b", true);
  parser.SetVariable("n", quv::TVariant::Null());
  parser.OnFunction = [](quv::TExprParser&, quv::TExprFunc& call, quv::TVariant& result) {
    for (int32_t i = 0; i < call.ArgumentCount(); ++i) result = call.EvaluateArgument(i);
  };
  try {
    parser.Parse(std::string(reinterpret_cast<const char*>(data), size));
    parser.Evaluate();
  } catch (const quv::Exception&) {
    // a documented parse or evaluation error
  }
  return 0;
}
