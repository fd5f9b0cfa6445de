#include "client/quvNotifyHub.h"

#include <memory>
#include <mutex>

#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "support/JSON.h"

namespace quv {

namespace {

constexpr int32_t kTopicCapacity = 100;

// `text` between double quotes, with its quotes and backslashes escaped.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string KeyItemText(const TVariant& value) {
  return value.Kind() == TVarKind::Integer ? value.ToText() : Quoted(value.ToText());
}

std::string KeyText(const TVariant& keyValue) {
  if (keyValue.Kind() != TVarKind::Array) return KeyItemText(keyValue);
  std::string text = "[ ";
  const TVariant::TItems& items = keyValue.Items();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ',';
    text += KeyItemText(items[i]);
  }
  return text + "]";
}

std::string MessageText(IInterface* message) {
  const TRef<IString> text = Supports<IString>(message);
  if (!text) throw Exception("The message is not a text");
  return IntfToStr(text.Get());
}

// The "keyValue" member: a list gives an array of its items' values; a
// missing member gives an empty value.
TVariant KeyValueOf(const TJSONarray& document) {
  const TJSONbase* member = document.Item("keyValue");
  if (member == nullptr) return TVariant();
  if (member->Kind() != TJSONKind::List) return member->Value();
  TVariant::TItems items;
  items.reserve(static_cast<std::size_t>(member->Count()));
  for (int32_t i = 0; i < member->Count(); ++i) items.push_back(member->Item(i)->Value());
  return TVariant::FromArray(std::move(items));
}

uint8_t TypeOf(const TJSONarray& document) {
  const TJSONbase* member = document.Item("type");
  if (member == nullptr) throw Exception("The message has no type");
  const int32_t type = member->Value().ToInteger();
  if (type < 0 || type > 255) throw Exception("The message's type is out of range");
  return static_cast<uint8_t>(type);
}

}  // namespace

std::string ChangeMessage(const std::string& keyName, const TVariant& keyValue, uint8_t callClass,
                          int32_t operation) {
  std::string message =
      "{\"operation\":" + std::to_string(operation) + ",\"type\":" + std::to_string(callClass);
  if (!keyValue.IsEmptyOrNull())
    message +=
        ",\"keyValue\":" + KeyText(keyValue) + ",\"keyName\":" + Quoted(AnsiUpperCase(keyName));
  return message + "}";
}

TquvNotifyHub::TquvNotifyHub() : FTopics(kTopicCapacity, {.Ownership = THashOwnership::Objects}) {}

HResult TquvNotifyHub::QueryInterface(const TGUID& iid, void** object) {
  if (iid == IquvMessageSubscriber::IID)
    return Found(static_cast<IquvMessageSubscriber*>(this), object);
  return TCOMObject::QueryInterface(iid, object);
}

int32_t TquvNotifyHub::Subscribe(std::string_view topic, TSubscriber subscriber) {
  const std::lock_guard lock(FLock);
  const std::string key = AnsiUpperCase(topic);
  TTopic* entries = nullptr;
  if (!FTopics.Find(key, entries)) {
    auto created = std::make_unique<TTopic>();
    entries = created.get();
    FTopics.Add(key, std::move(created));
  }
  const int32_t id = FNextId++;
  entries->Entries.push_back(TEntry{id, std::move(subscriber)});
  return id;
}

void TquvNotifyHub::Unsubscribe(int32_t id) {
  const std::lock_guard lock(FLock);
  FTopics.ForEach([id](const std::string&, void* value) {
    std::erase_if(static_cast<TTopic*>(value)->Entries,
                  [id](const TEntry& entry) { return entry.Id == id; });
  });
}

void TquvNotifyHub::MessagePublished(const std::string& topic, IInterface* message) {
  const std::lock_guard lock(FLock);
  try {
    Deliver(topic, message);
  } catch (const std::exception& e) {
    OutputDebugString(std::string("quvclient.TquvNotifyHub.MessagePublished:") + e.what());
  }
}

void TquvNotifyHub::Deliver(const std::string& topic, IInterface* message) {
  TTopic* entries = nullptr;
  if (!FTopics.Find(AnsiUpperCase(topic), entries) || entries->Entries.empty()) return;
  const std::unique_ptr<TJSONarray> document = ParseJSON(MessageText(message));
  if (!document) throw Exception("The message is empty");
  TVariant keyValue = KeyValueOf(*document);
  const uint8_t type = TypeOf(*document);
  // A copy, so that subscribers may subscribe and unsubscribe while called.
  const std::vector<TEntry> subscribers = entries->Entries;
  for (const TEntry& entry : subscribers) {
    try {
      entry.Callback(topic, keyValue, type);
    } catch (...) {
      // One subscriber's failure does not keep the message from the others.
    }
  }
}

void TquvNotifyHub::Publish(const std::string& owner, const std::string& keyName,
                            const TVariant& keyValue, uint8_t callClass, int32_t operation) {
  IquvMessageBus* bus = MessageBus();
  if (bus == nullptr) return;
  bus->Publish(AnsiUpperCase(owner),
               StrToIntf(ChangeMessage(keyName, keyValue, callClass, operation)));
}

}  // namespace quv
