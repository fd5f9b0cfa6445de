// Any bytes, decoded as a field value of every type code with a fixed and an
// unbounded size and with and without decimals: decoding either gives a
// Variant or raises the stream read error or the conversion error, and a
// Variant it gave converts to text and writes back in the same type.

#include <cstdlib>
#include <span>

#include "server/common/quvIntf.h"
#include "server/common/quvstream.h"

namespace {

bool IsDocumentedError(const quv::Exception& e) {
  return dynamic_cast<const quv::EReadError*>(&e) != nullptr ||
         dynamic_cast<const quv::EVariantError*>(&e) != nullptr;
}

void DecodeOnce(std::span<const std::uint8_t> bytes, quv::TquvSymbolDef& field) {
  quv::TVariant value;
  try {
    value = quv::DataToVar(bytes, field);
  } catch (const quv::Exception& e) {
    if (!IsDocumentedError(e)) std::abort();
    return;
  }
  try {
    value.ToText();
    quv::TMemoryStream out;
    quv::VarToData(value, out, field, true);
  } catch (const quv::Exception& e) {
    // An empty value has no text-or-object form; out-of-range dates do not
    // convert back.
    if (!IsDocumentedError(e) && std::string_view(e.what()).rfind("Error writing stream", 0) != 0) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  quv::TquvCustomSymbolDefs defs;
  quv::TquvSymbolDef& field = defs.AddSymbol("f");
  for (const char code : {'N', '+', 'A', 'I', 'R', 'B', 'D', 'T', 'H', 'M', 'X'}) {
    field.SetTypeCode(code);
    for (const uint16_t width : {uint16_t(0), uint16_t(8)}) {
      field.SetSize(width);
      for (const uint8_t decimals : {uint8_t(0), uint8_t(2)}) {
        field.SetDecimals(decimals);
        DecodeOnce(bytes, field);
      }
    }
  }
  return 0;
}
