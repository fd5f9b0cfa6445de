#pragma once

#include <string>
#include <vector>

#include "server/common/quvIntfFile.h"
#include "server/common/quvstream.h"
#include "tests/kit/ByteBuilder.h"

namespace quv::testing {

// One interface for a file written with this system's writer.
struct TTestInterface {
  TTestInterface(std::string name, std::vector<std::string> fields, std::string extraText = "",
                 int16_t word1 = -1, uint8_t kind = 0)
      : Name(std::move(name)),
        Fields(std::move(fields)),
        ExtraText(std::move(extraText)),
        Word1(word1),
        Kind(kind) {}
  std::string Name;                 // module.interface
  std::vector<std::string> Fields;  // text fields of the first set
  std::string ExtraText;
  int16_t Word1;
  uint8_t Kind;
};

// An interface file of the current version holding `interfaces`, each field
// a text field.
inline std::string CurrentFile(const std::vector<TTestInterface>& interfaces) {
  TquvStream out;
  out.WriteRawString(MakeFileHeader());
  std::vector<TIndexInfo> entries;
  for (const TTestInterface& intf : interfaces) {
    TquvSymbolDefs first;
    TquvSymbolDefs second;
    for (const std::string& field : intf.Fields) first.AddSymbol(field).SetTypeCode('A');
    TquvInterfaceHeader header;
    header.Name = intf.Name;
    header.ModuleName = intf.Name.substr(0, intf.Name.rfind('.'));
    header.InterfaceName = intf.Name.substr(intf.Name.rfind('.') + 1);
    entries.push_back({intf.Name, intf.Kind, 0, static_cast<uint32_t>(out.Position()),
                       intf.ExtraText, intf.Word1, 0});
    WriteCompressedBlocks(out, BuildInterfaceData(header, first, second));
  }
  WriteIntfIndex(out, entries, kInterfaceFileVersion);
  const auto& bytes = static_cast<TMemoryStream&>(out.Stream()).Bytes();
  return std::string(bytes.begin(), bytes.end());
}

inline std::string AsString(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace quv::testing
