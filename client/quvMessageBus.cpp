#include "client/quvMessageBus.h"

#include <atomic>

namespace quv {

namespace {
std::atomic<IquvMessageBus*> GBus{nullptr};
}  // namespace

void SetMessageBus(IquvMessageBus* bus) { GBus.store(bus); }
IquvMessageBus* MessageBus() { return GBus.load(); }

}  // namespace quv
