#pragma once

#include <string>
#include <vector>

#include "server/common/quvIntf.h"
#include "support/Variant.h"

namespace quv::calltool {

// The value of the parameter `name` (UTF-8) given as `text` (UTF-8) for its
// field in `defs`, converted by the field's type as Variants convert texts:
// numbers, Booleans ("true", "false" in any case, or a number), dates and
// currency; an empty text is null. Raises EUsageError naming the parameter
// for a name that is no field, a text that the type does not take, a text
// longer than its field, or a character outside Windows-1252.
TVariant ParameterValue(const TquvCustomSymbolDefs& defs, const std::string& name,
                        const std::string& text);

}  // namespace quv::calltool
