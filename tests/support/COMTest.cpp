#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Cp1252.h"
#include "support/COM.h"

namespace quv {
namespace {

using TLog = std::vector<std::string>;

class TProbeObject final : public TCOMObject {
 public:
  TProbeObject(TLog& log, TRef<IInterface> controller)
      : TCOMObject(std::move(controller)), FLog(log) {}
  ~TProbeObject() override { FLog.push_back("destroyed"); }

 protected:
  void Initialize() override { FLog.push_back("initialized"); }
  void BeforeRelease() override { FLog.push_back("before release"); }

 private:
  TLog& FLog;
};

// Logs each notice; with KeepSender it holds a reference to the sender
// while it is being told, as a careless listener might.
class TProbeListener final : public TInterfacedObject, public IListener {
 public:
  TProbeListener(TLog& log, std::string name, bool keepSender = false)
      : FLog(log), FName(std::move(name)), FKeepSender(keepSender) {}
  void Notify(INotifier* sender) override {
    const TRef<INotifier> held = FKeepSender ? TRef<INotifier>(sender) : nullptr;
    FLog.push_back(FName + (sender ? " told" : " told by nobody"));
  }

 private:
  TLog& FLog;
  std::string FName;
  bool FKeepSender;
};

TEST(COMObject, IsDestroyedOnceWhenItsCountReturnsToZero) {
  TLog log;
  {
    TRef<TProbeObject> object = TCOMObject::Create<TProbeObject>(log, nullptr);
    EXPECT_EQ(object->RefCount(), 1);
    TRef<INotifier> notifier = Supports<INotifier>(object.Get());
    TRef<IInterface> copy = notifier;
    EXPECT_EQ(object->RefCount(), 3);
    notifier.Reset();
    copy.Reset();
    EXPECT_EQ(object->RefCount(), 1);
    EXPECT_EQ(log, TLog{"initialized"});
  }
  EXPECT_EQ(log, (TLog{"initialized", "before release", "destroyed"}));
}

TEST(COMObject, TellsEachListenerOnceInOrderWhenDestroyed) {
  TLog log;
  TRef<TProbeListener> first(new TProbeListener(log, "first", true));
  TRef<TProbeListener> second(new TProbeListener(log, "second"));
  TRef<TProbeListener> removed(new TProbeListener(log, "removed"));
  {
    auto object = TCOMObject::Create<TProbeObject>(log, nullptr);
    EXPECT_EQ(object->AddListener(first.Get()), 0);
    EXPECT_EQ(object->AddListener(removed.Get()), 1);
    EXPECT_EQ(object->AddListener(second.Get()), 2);
    EXPECT_EQ(object->AddListener(nullptr), -1);
    object->RemoveListener(removed.Get());
    EXPECT_EQ(first->RefCount(), 2);
    EXPECT_EQ(removed->RefCount(), 1);
    log.clear();
  }
  EXPECT_EQ(log, (TLog{"before release", "destroyed", "first told", "second told"}));
  EXPECT_EQ(first->RefCount(), 1);
  EXPECT_EQ(second->RefCount(), 1);
}

TEST(COMObject, NotifyListenersEmptiesTheList) {
  TLog log;
  TRef<TProbeListener> listener(new TProbeListener(log, "listener"));
  auto object = TCOMObject::Create<TProbeObject>(log, nullptr);
  object->AddListener(listener.Get());
  object->AddListener(listener.Get());
  object->NotifyListeners();
  EXPECT_EQ(object->ListenerCount(), 0);
  EXPECT_EQ(log, (TLog{"initialized", "listener told", "listener told"}));
  EXPECT_EQ(listener->RefCount(), 1);
}

TEST(COMObject, HoldsItsControllerUntilDestroyed) {
  TLog log;
  TRef<IString> controller = StrToIntf("controller");
  auto object = TCOMObject::Create<TProbeObject>(log, controller);
  EXPECT_EQ(object->Controller(), controller.Get());
  EXPECT_EQ(controller->AddRef(), 3);
  controller->Release();
  object.Reset();
  EXPECT_EQ(controller->AddRef(), 2);
  controller->Release();
}

TEST(COMObject, AnswersOnlyItsOwnInterfaces) {
  TLog log;
  auto object = TCOMObject::Create<TProbeObject>(log, nullptr);
  void* found = &log;
  EXPECT_EQ(object->QueryInterface(IString::IID, &found), kNoInterface);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(object->RefCount(), 1);
  EXPECT_TRUE(Supports<IInterface>(object.Get()));
  EXPECT_FALSE(Supports<IString>(object.Get()));
  TRef<IString> text = StrToIntf("x");
  EXPECT_TRUE(Supports<IString>(text.Get()));
  EXPECT_FALSE(Supports<INotifier>(text.Get()));
}

TEST(String, ComparesAsciiLettersWithoutRegardToCase) {
  TRef<IString> text = StrToIntf("abc");
  EXPECT_TRUE(text->Equals("ABC"));
  EXPECT_FALSE(text->Equals("abd"));
  EXPECT_LT(text->Compare("abd"), 0);
  EXPECT_LT(text->Compare("abcd"), 0);
  EXPECT_GT(text->Compare("AB"), 0);
  EXPECT_LT(text->Compare("AB_"), 0);               // c is compared as C, which sorts before _
  EXPECT_FALSE(StrToIntf("\xE9")->Equals("\xC9"));  // only a-z fold
}

TEST(String, ConvertsToAndFromOrdinaryText) {
  TRef<IString> text = StrToIntf("");
  EXPECT_EQ(text->Chars(), nullptr);
  EXPECT_EQ(IntfToStr(nullptr), "");
  EXPECT_EQ(IntfToStr(text.Get()), "");
  text->SetChars("C");
  text->Append("ódigo"_cp);
  EXPECT_EQ(IntfToStr(text.Get()), "Código"_cp);
  TRef<IString> copy = StrToIntf("old");
  copy->Assign(text.Get());
  EXPECT_STREQ(copy->Chars(), text->Chars());
  copy->Assign(nullptr);
  EXPECT_EQ(copy->Length(), 0);
  EXPECT_EQ(IntfToStr(StrToIntf(std::string("a\0b", 3)).Get()), std::string("a\0b", 3));
}

}  // namespace
}  // namespace quv
