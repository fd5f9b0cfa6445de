#include "client/quvCallSeams.h"

#include <atomic>

#include "transport/quvCallKinds.h"

namespace quv {

namespace {
std::atomic<IquvCallQueue*> GQueue{nullptr};
std::atomic<IquvChangeNotifier*> GNotifier{nullptr};
}  // namespace

void SetCallQueue(IquvCallQueue* queue) { GQueue.store(queue); }
IquvCallQueue* CallQueue() { return GQueue.load(); }
void SetChangeNotifier(IquvChangeNotifier* notifier) { GNotifier.store(notifier); }
IquvChangeNotifier* ChangeNotifier() { return GNotifier.load(); }

int32_t OperationOfCallClass(uint8_t callClass) {
  switch (callClass) {
    case kClassRowKey:
      return 1;
    case kClassParameterKey:
      return 0;
    case kClassParameterKeyOther:
      return 2;
    case kClassKeyList:
      return 4;
    default:
      return kNoOperation;
  }
}

}  // namespace quv
