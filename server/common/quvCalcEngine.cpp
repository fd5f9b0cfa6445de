#include "server/common/quvCalcEngine.h"

#include <algorithm>

#include "platform/Cp1252.h"
#include "server/common/quvRecordset.h"

namespace quv {

namespace {

bool NameIs(const std::string& name, std::string_view wanted) {
  return AnsiCompareText(name, wanted) == 0;
}

TVariant Position(const TVariant& sub, const TVariant& text, bool lowerCase) {
  std::string needle = sub.ToText();
  std::string haystack = text.ToText();
  if (lowerCase) {
    needle = AnsiLowerCase(needle);
    haystack = AnsiLowerCase(haystack);
  }
  if (needle.empty()) return TVariant(0);
  const std::size_t found = haystack.find(needle);
  return TVariant(found == std::string::npos ? 0 : static_cast<int32_t>(found) + 1);
}

// The condition of if(): the Variant's own Boolean conversion, with empty and
// null taken as false since calculated fields propagate nulls.
bool ConditionHolds(const TVariant& condition) {
  return !condition.IsEmptyOrNull() && condition.ToBoolean();
}

}  // namespace

TCalcEngine::TCalcEngine(TquvRecordset& recordset) : FRecordset(recordset) {
  NullPropagation = true;
  OnGetVariable = [this](TExprParser&, const std::string& name, TVariant& value) {
    ReadField(name, value);
  };
  OnFunction = [](TExprParser&, TExprFunc& call, TVariant& result) {
    RecordsetFunction(call, result);
  };
}

void TCalcEngine::Parse(const std::string& text) {
  FFieldIndexes.clear();
  TExprParser::Parse(text);
}

void TCalcEngine::ReadField(const std::string& name, TVariant& value) {
  auto found = FFieldIndexes.find(&name);
  if (found == FFieldIndexes.end()) {
    const int32_t index = FRecordset.FieldIndex(name);
    if (index < 0) {
      value = FRecordset.GetFieldValue(name);  // raises the field-not-found message
      return;
    }
    found = FFieldIndexes.emplace(&name, index).first;
  }
  value = FRecordset.GetFieldValueByIndex(found->second);
}

void RecordsetFunction(TExprFunc& call, TVariant& result) {
  const std::string& name = call.Name();
  if (NameIs(name, "null_to_z")) {
    result = call.EvaluateArgument(0);
    if (result.IsEmptyOrNull()) result = TVariant(0);
  } else if (NameIs(name, "if")) {
    call.Argument(2);  // both branches must be there, even though one is evaluated
    result = call.EvaluateArgument(ConditionHolds(call.EvaluateArgument(0)) ? 1 : 2);
  } else if (NameIs(name, "min") || NameIs(name, "max")) {
    const double a = call.EvaluateArgument(0).ToDouble();
    const double b = call.EvaluateArgument(1).ToDouble();
    result = TVariant(NameIs(name, "min") ? std::min(a, b) : std::max(a, b));
  } else if (NameIs(name, "pos") || NameIs(name, "poslowercase")) {
    result =
        Position(call.EvaluateArgument(0), call.EvaluateArgument(1), NameIs(name, "poslowercase"));
  } else {
    result = TVariant();
  }
}

}  // namespace quv
