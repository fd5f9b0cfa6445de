#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "server/common/quvIntf.h"
#include "server/common/quvIntfFile.h"

namespace quv::intftool {

// A set that keeps its records as the file stores them (see
// TquvCustomSymbolDefs::KeepsStoredForm).
std::unique_ptr<TquvSymbolDefs> MakeStoredFormSet();

// One interface as the file holds it.
struct TDumpedInterface {
  TIndexInfo Entry;
  TquvInterfaceHeader Header;
  std::unique_ptr<TquvSymbolDefs> First = MakeStoredFormSet();
  std::unique_ptr<TquvSymbolDefs> Second = MakeStoredFormSet();
  TGroupSets GroupSets;  // the order of the two sets' groups in the file
};

struct TDumpedFile {
  TFileHeaderInfo Header;
  std::vector<TDumpedInterface> Interfaces;  // in index order
};

// Reads every interface of the file `bytes`; raises the reader's errors.
TDumpedFile ReadInterfaceFile(const std::string& fileName, const std::string& bytes);

// The description of the file in the build tool's format: building it gives
// the same bytes again. `libraryName` becomes its "library" and completes the
// fields' references as the library's readers complete them.
nlohmann::ordered_json DumpAsJson(const TDumpedFile& file, const std::string& libraryName);
// The same as readable lines.
std::string DumpAsText(const TDumpedFile& file, const std::string& fileName,
                       const std::string& libraryName);

}  // namespace quv::intftool
