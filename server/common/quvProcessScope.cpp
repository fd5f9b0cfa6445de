#include "server/common/quvProcessScope.h"

#include "expr/ExprFunctionModules.h"
#include "server/common/BufferManager.h"
#include "server/common/quvBufferedStreams.h"
#include "server/common/quvSharedDefs.h"
#include "support/JSON.h"
#include "support/MacroCaption.h"

namespace quv {

TProcessScope::TProcessScope() {
  FParts.Add(MakeJSONBlockCache());
  FParts.Add(MakeCaptionDictionary());
  FParts.Add(TExprFunctionModuleManager::Make());
  FParts.Add(MakeProcessBufferManager());
  FParts.Add(MakeTempStreamNames());
  FParts.Add(MakeSharedDefinitions());
}

}  // namespace quv
