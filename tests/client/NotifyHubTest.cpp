#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/quvClient.h"
#include "client/quvNotifyHub.h"
#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "support/JSON.h"

namespace quv {
namespace {

using ::testing::ElementsAre;

// The hub's failures show only on the debugger output, which is on when
// QUV_DEBUG is set before its first use.
[[maybe_unused]] const bool gDebugOutputOn = (::setenv("QUV_DEBUG", "1", 1), true);

// A bus that keeps what is published and, once started, delivers it to one
// subscriber on a thread of its own, in order.
class TTestBus final : public IquvMessageBus {
 public:
  TTestBus() { SetMessageBus(this); }
  ~TTestBus() override {
    Stop();
    SetMessageBus(nullptr);
  }

  void Publish(const std::string& topic, TRef<IInterface> message) override {
    const std::lock_guard lock(FLock);
    FPublished.emplace_back(topic, IntfToStr(Supports<IString>(message.Get()).Get()));
    FQueue.emplace_back(topic, std::move(message));
    FChanged.notify_all();
  }

  void StartDelivering(IquvMessageSubscriber& subscriber) {
    FDeliverer = std::thread([this, &subscriber] {
      while (std::optional<std::pair<std::string, TRef<IInterface>>> next = Next())
        subscriber.MessagePublished(next->first, next->second.Get());
    });
  }
  // Delivers what is queued, then ends the delivering thread.
  void Stop() {
    {
      const std::lock_guard lock(FLock);
      FStopping = true;
      FChanged.notify_all();
    }
    if (FDeliverer.joinable()) FDeliverer.join();
  }

  std::vector<std::pair<std::string, std::string>> Published() {
    const std::lock_guard lock(FLock);
    return FPublished;
  }

 private:
  std::optional<std::pair<std::string, TRef<IInterface>>> Next() {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [this] { return FStopping || !FQueue.empty(); });
    if (FQueue.empty()) return std::nullopt;
    auto next = std::move(FQueue.front());
    FQueue.pop_front();
    return next;
  }

  std::mutex FLock;
  std::condition_variable FChanged;
  std::deque<std::pair<std::string, TRef<IInterface>>> FQueue;
  std::vector<std::pair<std::string, std::string>> FPublished;
  bool FStopping = false;
  std::thread FDeliverer;
};

// A message object that counts how often it is asked for its text.
class TCountedMessage final : public TInterfacedObject, public IString {
 public:
  explicit TCountedMessage(std::string text) : FText(std::move(text)) {}
  HResult QueryInterface(const TGUID& iid, void** object) override {
    if (iid != IString::IID) return TInterfacedObject::QueryInterface(iid, object);
    ++Queries;
    return Found(static_cast<IString*>(this), object);
  }
  void Append(std::string_view) override {}
  int32_t Compare(std::string_view) const override { return 0; }
  bool Equals(std::string_view) const override { return false; }
  const char* Chars() const override { return FText.c_str(); }
  void SetChars(const char*) override {}
  void Assign(const IString*) override {}
  int32_t Length() const override { return static_cast<int32_t>(FText.size()); }

  int Queries = 0;

 private:
  ~TCountedMessage() override = default;
  std::string FText;
};

struct TDelivery {
  std::string Topic;
  TVariant KeyValue;
  int Type;
};

class Hub : public ::testing::Test {
 protected:
  Hub() : FHub(TCOMObject::Create<TquvNotifyHub>()) {}

  // Subscribes a recorder of deliveries to `topic`.
  int32_t Record(std::string_view topic) {
    return FHub->Subscribe(topic,
                           [this](const std::string& name, TVariant& keyValue, uint8_t type) {
                             FDeliveries.push_back({name, keyValue, type});
                           });
  }
  void Deliver(const std::string& topic, const std::string& message) {
    FHub->MessagePublished(topic, StrToIntf(message).Get());
  }
  // What the hub writes to the debugger output while delivering `message`.
  std::string DebugLinesOf(const std::string& topic, const std::string& message) {
    ::testing::internal::CaptureStderr();
    Deliver(topic, message);
    return ::testing::internal::GetCapturedStderr();
  }

  TRef<TquvNotifyHub> FHub;
  std::vector<TDelivery> FDeliveries;
};

TEST(ChangeMessage, MatchesTheDocumentedForms) {
  EXPECT_EQ(ChangeMessage("id", TVariant(15), 3, 2),
            "{\"operation\":2,\"type\":3,\"keyValue\":15,\"keyName\":\"ID\"}");
  EXPECT_EQ(ChangeMessage("cod", TVariant::FromArray({TVariant(7), TVariant(9)}), 17, 4),
            "{\"operation\":4,\"type\":17,\"keyValue\":[ 7,9],\"keyName\":\"COD\"}");
  EXPECT_EQ(ChangeMessage("id", TVariant(), 2, 0), "{\"operation\":0,\"type\":2}");
  EXPECT_EQ(ChangeMessage("id", TVariant::Null(), 1, 1), "{\"operation\":1,\"type\":1}");
  EXPECT_EQ(ChangeMessage(std::string("código"_cp), TVariant("A1"), 2, 0),
            "{\"operation\":0,\"type\":2,\"keyValue\":\"A1\",\"keyName\":\"CÓDIGO\"}"_cp);
  EXPECT_EQ(ChangeMessage("v", TVariant(1.5), 2, 0),
            "{\"operation\":0,\"type\":2,\"keyValue\":\"1.5\",\"keyName\":\"V\"}");
  EXPECT_EQ(
      ChangeMessage("k", TVariant::FromArray({TVariant(1), TVariant("x"), TVariant(2.5)}), 17, 4),
      "{\"operation\":4,\"type\":17,\"keyValue\":[ 1,\"x\",\"2.5\"],\"keyName\":\"K\"}");
  EXPECT_EQ(ChangeMessage("k", TVariant::FromArray({}), 17, 4),
            "{\"operation\":4,\"type\":17,\"keyValue\":[ ],\"keyName\":\"K\"}");
}

TEST(ChangeMessage, EscapesQuotesAndBackslashesOnly) {
  const std::string message = ChangeMessage("k", TVariant("a\"b\\c\xE9\x01"), 2, 0);
  EXPECT_EQ(message,
            "{\"operation\":0,\"type\":2,\"keyValue\":\"a\\\"b\\\\c\xE9\x01\",\"keyName\":\"K\"}");
  // Every receiver can read it back, byte for byte.
  EXPECT_EQ(ParseJSON(message)->Item("keyValue")->Value().Text(), "a\"b\\c\xE9\x01");
}

TEST_F(Hub, PublishesUnderTheUpperCasedOwnerOnlyWithABus) {
  FHub->Publish("quvtest.Test", "id", TVariant(15), 3, 2);  // no bus: nothing happens
  TTestBus bus;
  FHub->Publish("quvtest.Test", "id", TVariant(15), 3, 2);
  EXPECT_THAT(
      bus.Published(),
      ElementsAre(std::pair<std::string, std::string>(
          "QUVTEST.TEST", "{\"operation\":2,\"type\":3,\"keyValue\":15,\"keyName\":\"ID\"}")));
}

TEST_F(Hub, DeliversKeyValuesAndTypeToTheTopicsSubscribers) {
  Record("Quvtest.Test");
  Deliver("QUVTEST.TEST", "{\"operation\":2,\"type\":3,\"keyValue\":15,\"keyName\":\"ID\"}");
  Deliver("quvtest.test", "{\"operation\":4,\"type\":17,\"keyValue\":[ 7,9],\"keyName\":\"ID\"}");
  Deliver("QUVTEST.TEST", "{\"operation\":0,\"type\":2}");
  Deliver("QUVTEST.TEST", "{\"type\":2,\"keyValue\":\"A1\"}");
  Deliver("QUVTEST.TEST",
          ChangeMessage("k", TVariant::FromArray({TVariant("A1"), TVariant(2)}), 17, 4));
  ASSERT_EQ(FDeliveries.size(), 5u);
  EXPECT_EQ(FDeliveries[0].Topic, "QUVTEST.TEST");
  EXPECT_EQ(FDeliveries[0].KeyValue, TVariant(15));
  EXPECT_EQ(FDeliveries[0].Type, 3);
  EXPECT_EQ(FDeliveries[1].Topic, "quvtest.test");
  EXPECT_EQ(FDeliveries[1].KeyValue, TVariant::FromArray({TVariant(7), TVariant(9)}));
  EXPECT_EQ(FDeliveries[1].Type, 17);
  EXPECT_TRUE(FDeliveries[2].KeyValue.IsEmpty());
  EXPECT_EQ(FDeliveries[3].KeyValue, TVariant("A1"));
  // A list with text keys, as Publish writes it, arrives whole.
  EXPECT_EQ(FDeliveries[4].KeyValue, TVariant::FromArray({TVariant("A1"), TVariant(2)}));
}

TEST_F(Hub, TopicsMatchWithTheCaseRulesOfPublish) {
  Record("ação.x"_cp);
  TTestBus bus;
  FHub->Publish(std::string("ação.x"_cp), "id", TVariant(1), 3, 2);
  Deliver(bus.Published().at(0).first, bus.Published().at(0).second);
  Deliver(std::string("Ação.X"_cp), "{\"type\":3}");
  ASSERT_EQ(FDeliveries.size(), 2u);
  EXPECT_EQ(FDeliveries[0].Topic, std::string("AÇÃO.X"_cp));
  EXPECT_EQ(FDeliveries[1].Topic, std::string("Ação.X"_cp));
}

TEST_F(Hub, AnUnknownTopicIsDroppedUnread) {
  Record("T");
  const int32_t gone = Record("GONE");
  FHub->Unsubscribe(gone);
  for (const char* topic : {"OTHER", "GONE"}) {
    const TRef<TCountedMessage> message(new TCountedMessage("not json"));
    FHub->MessagePublished(topic, message.Get());
    EXPECT_EQ(message->Queries, 0) << topic;
  }
  EXPECT_TRUE(FDeliveries.empty());
}

TEST_F(Hub, ARaisingSubscriberDoesNotStopTheOthers) {
  std::vector<std::string> calls;
  FHub->Subscribe("T", [&](const std::string&, TVariant& keyValue, uint8_t) {
    calls.push_back("first");
    keyValue = TVariant(99);  // the next subscriber sees the change
    throw std::runtime_error("first failed");
  });
  FHub->Subscribe("T", [&](const std::string&, TVariant&, uint8_t) {
    calls.push_back("second");
    throw 42;
  });
  Record("T");
  EXPECT_EQ(DebugLinesOf("T", "{\"type\":1,\"keyValue\":5}"), "");
  EXPECT_THAT(calls, ElementsAre("first", "second"));
  ASSERT_EQ(FDeliveries.size(), 1u);
  EXPECT_EQ(FDeliveries[0].KeyValue, TVariant(99));
}

TEST_F(Hub, BadMessagesAreSwallowedWithADebuggerLine) {
  ASSERT_TRUE(DebugOutputEnabled());
  Record("T");
  const std::string prefix = "quvclient.TquvNotifyHub.MessagePublished:";
  EXPECT_EQ(DebugLinesOf("T", "{\"type\":1,"), prefix + "Missing closing bracket for array\n");
  EXPECT_EQ(DebugLinesOf("T", "[1]"), prefix + "TJSONlist use only Integer indexes - not String\n");
  EXPECT_EQ(DebugLinesOf("T", "{\"keyValue\":1}"), prefix + "The message has no type\n");
  EXPECT_EQ(DebugLinesOf("T", ""), prefix + "The message is empty\n");
  ::testing::internal::CaptureStderr();
  FHub->MessagePublished("T", TCOMObject::Create<TCOMObject>().Get());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), prefix + "The message is not a text\n");
  EXPECT_TRUE(FDeliveries.empty());
}

// The bus delivers on its thread while the main thread publishes and
// subscribes; under the thread sanitizer this checks the hub's locking.
TEST_F(Hub, TheBusThreadDeliversWhileTheMainThreadPublishes) {
  constexpr int kMessages = 200;
  TTestBus bus;
  Record("OWNER");
  bus.StartDelivering(*FHub);
  for (int i = 0; i < kMessages; ++i) {
    FHub->Publish("owner", "id", TVariant(i), 3, 2);
    FHub->Unsubscribe(FHub->Subscribe("OWNER", [](const std::string&, TVariant&, uint8_t) {}));
  }
  bus.Stop();
  ASSERT_EQ(FDeliveries.size(), static_cast<std::size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ(FDeliveries[i].KeyValue, TVariant(i));
}

}  // namespace
}  // namespace quv
