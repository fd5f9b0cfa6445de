#include "tools/quvcall/CallParameters.h"

#include "platform/Cp1252.h"
#include "tools/common/ToolMain.h"

namespace quv::calltool {

namespace {

// `text` (Windows-1252) as the value of `field`; raises EVariantError.
TVariant Converted(const TquvSymbolDef& field, const std::string& text) {
  const TVariant given(text);
  switch (field.TypeCode()) {
    case 'N':
    case '+':
      return field.Decimals() == 0 ? TVariant(given.ToInteger()) : TVariant(given.ToDouble());
    case 'M':
      return TVariant::FromCurrency(given.ToCurrency());
    case 'B':
      return TVariant(given.ToBoolean());
    case 'D':
    case 'T':
    case 'H':
      return TVariant::FromDateTime(given.ToDateTime());
    default:
      return given;
  }
}

std::string FieldNames(const TquvCustomSymbolDefs& defs) {
  std::string names;
  for (int32_t i = 0; i < defs.Count(); ++i)
    names += (i == 0 ? "" : ", ") + Cp1252ToUtf8(defs.Item(i).Name());
  return names.empty() ? "none" : names;
}

}  // namespace

TVariant ParameterValue(const TquvCustomSymbolDefs& defs, const std::string& name,
                        const std::string& text) {
  const std::string what = "parameter \"" + name + "\"";
  const int32_t index = defs.IndexOf(toolmain::ArgumentToCp1252(what, name));
  if (index < 0) {
    throw toolmain::EUsageError(
        what + " is not a field of the method (its fields: " + FieldNames(defs) + ")");
  }
  const TquvSymbolDef& field = defs.Item(index);
  const std::string value = toolmain::ArgumentToCp1252(what, text);
  if (value.empty()) return TVariant::Null();
  if (field.TypeCode() == 'A' && field.Size() > 0 && value.size() > field.Size()) {
    throw toolmain::EUsageError(what + ": longer than its " + std::to_string(field.Size()) +
                                " bytes");
  }
  try {
    return Converted(field, value);
  } catch (const EVariantError& e) {
    throw toolmain::EUsageError(what + ": " + Cp1252ToUtf8(e.what()));
  }
}

}  // namespace quv::calltool
