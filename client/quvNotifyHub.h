#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/quvCallSeams.h"
#include "client/quvMessageBus.h"
#include "platform/Sync.h"
#include "support/COM.h"
#include "support/Hash.h"
#include "support/Variant.h"

namespace quv {

// The change-notification hub. Publish posts a JSON change message on the
// process message bus under the owner's topic; MessagePublished, called by
// the bus, hands the key values of each message to the subscribers of its
// topic. Topics match without regard to case (Windows-1252 rules). Thread-safe: delivery and
// subscription take the hub's lock (delivery for its whole length, so
// subscribers run one at a time and must not wait for another thread that
// uses the hub); Publish takes no lock.
class TquvNotifyHub final : public TCOMObject,
                            public IquvMessageSubscriber,
                            public IquvChangeNotifier {
 public:
  // Called with the topic as the bus delivered it, the message's key value
  // (shared by the subscribers of one message, which may change it) and its
  // call class.
  using TSubscriber =
      std::function<void(const std::string& topic, TVariant& keyValue, uint8_t type)>;

  TquvNotifyHub();

  HResult QueryInterface(const TGUID& iid, void** object) override;

  // Adds `subscriber` to the end of `topic`'s list; returns its id.
  int32_t Subscribe(std::string_view topic, TSubscriber subscriber);
  // Removes the subscriber `id`; an unknown id is ignored.
  void Unsubscribe(int32_t id);

  // Delivers a change message. A topic without subscribers is dropped before
  // the message is read; every failure is swallowed after a debugger line.
  void MessagePublished(const std::string& topic, IInterface* message) override;
  // Posts the change message of a call on the bus, if one is installed.
  void Publish(const std::string& owner, const std::string& keyName, const TVariant& keyValue,
               uint8_t callClass, int32_t operation) override;

 private:
  ~TquvNotifyHub() override = default;

  struct TEntry {
    int32_t Id;
    TSubscriber Callback;
  };
  struct TTopic {
    std::vector<TEntry> Entries;
  };

  void Deliver(const std::string& topic, IInterface* message);

  TCriticalSection FLock;
  // Topic names upper-cased by the Windows-1252 rules Publish uses, so that
  // both sides fold letters such as "ç" alike -> owned TTopic.
  THashList FTopics;
  int32_t FNextId = 1;
};

// The change message of a call: operation and call class, and with a key
// value also the key (integers bare, other values quoted, arrays as
// "[ " items "]") and the upper-cased key name. Quotes and backslashes in
// texts are escaped; every other byte is kept.
std::string ChangeMessage(const std::string& keyName, const TVariant& keyValue, uint8_t callClass,
                          int32_t operation);

}  // namespace quv
