#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ProcessSlot.h"
#include "platform/Streams.h"
#include "server/common/quvIntf.h"

namespace quv {

// Definition sets read from a recordset's definitions block, kept by the
// block's bytes: every reply of a method carries the same block, and reading
// it once is enough. The sets are read-only and may be shared by recordsets
// on any thread.
//
// Returns the set that TquvSymbolDefs::ReadFromStream(force, `level`,
// `withGroups`) makes of `block` in a set whose Flag and Text are `flag` and
// `text` (reading keeps both). Read errors reach the caller and nothing is kept.
std::shared_ptr<const TquvSymbolDefs> SharedDefinitionsFromBlock(TMemoryStream& block,
                                                                 int32_t level, bool withGroups,
                                                                 uint8_t flag,
                                                                 const std::string& text);

// The empty set that new recordsets start with.
std::shared_ptr<const TquvSymbolDefs> SharedEmptyDefinitions();

// Makes the process's cache of shared sets and its empty set.
std::unique_ptr<TScopePart> MakeSharedDefinitions();

}  // namespace quv
