#include "client/quvCallSeams.h"

#include <atomic>

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
    case 1:
      return 1;
    case 2:
      return 0;
    case 3:
      return 2;
    case 17:
      return 4;
    default:
      return kNoOperation;
  }
}

}  // namespace quv
