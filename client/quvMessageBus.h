#pragma once

#include <string>

#include "support/COM.h"

// The process message bus that change notices travel on. It lies outside
// this system: the hosting environment installs one, the viewer never does,
// and without one nothing is published or delivered.
namespace quv {

// What the bus calls with each message published under a topic it delivers.
class IquvMessageSubscriber : public virtual IInterface {
 public:
  static constexpr TGUID IID = {
      0x6C1E3B52, 0x94A7, 0x4D0F, {0xB2, 0x1D, 0x5E, 0x83, 0x0A, 0x47, 0xC9, 0x16}};
  // Called on the bus's own thread; `message` is borrowed for the call.
  virtual void MessagePublished(const std::string& topic, IInterface* message) = 0;
};

// The bus as this process sees it. Implementations are thread-safe.
class IquvMessageBus {
 public:
  virtual ~IquvMessageBus() = default;
  // Posts `message` (a text object, IString) under `topic`.
  virtual void Publish(const std::string& topic, TRef<IInterface> message) = 0;
};

// Installs the bus (null removes it); it must stay alive while installed.
void SetMessageBus(IquvMessageBus* bus);
IquvMessageBus* MessageBus();

}  // namespace quv
