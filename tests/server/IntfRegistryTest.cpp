// The interface registry: library names, lookups, extension files,
// descriptor names, reloading a replaced file, program resources and the
// file cache's expiry.

#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/Resources.h"
#include "server/common/quvIntfRegistry.h"
#include "tests/kit/IntfTestFiles.h"
#include "tests/kit/TempFolder.h"

namespace quv {
namespace {

using testing::CurrentFile;
using testing::MessageOf;

constexpr uint32_t kWatcherCap = 10000;

class IntfRegistryTest : public ::testing::Test {
 protected:
  TquvInterfaces& Registry(bool watch = false) {
    FRegistry = std::make_unique<TquvInterfaces>(TquvLibraryOptions{FFolder.Path(), true, watch});
    return *FRegistry;
  }

  TTempFolder FFolder;
  std::unique_ptr<TquvInterfaces> FRegistry;
};

TEST_F(IntfRegistryTest, PathsThatNameTheSameLibrary) {
  FFolder.WriteFile("shop.quv", CurrentFile({{"orders.list", {"number"}}}));
  TquvInterfaces& registry = Registry();
  TquvInterfaceLib& lib = registry.InternalGetItem("shop");
  EXPECT_EQ(&registry.InternalGetItem("host:shop"), &lib);
  EXPECT_EQ(&registry.InternalGetItem("SHOP.quv"), &lib);
  EXPECT_EQ(&registry.InternalGetItem(FFolder.Path() + "/shop.quv"), &lib);
  EXPECT_EQ(registry.Count(), 1);
  EXPECT_EQ(NormalizedLibraryPath("/data/a:b/shop.quv"), "/data/a:b/shop.quv");
  EXPECT_EQ(NormalizedLibraryPath("C:\\apps\\shop"), "C:\\apps\\shop");
  EXPECT_EQ(MessageOf([&] { registry.InternalGetItem("host:"); }),
            "Error at TquvInterfaces.InternalGetItem. Could not get item to host:");
}

TEST_F(IntfRegistryTest, LookupByDottedNameAndItsErrors) {
  FFolder.WriteFile("shop.quv", CurrentFile({{"orders.list", {"number", "customer"}}}));
  TquvInterfaces& registry = Registry();
  TquvInterfaceRef intf = registry.GetInterface("Shop.ORDERS.list");
  EXPECT_EQ(intf->FullName(), "orders.list");
  EXPECT_EQ(registry.InternalGetItem("shop").GetInterface("orders.list"), intf);
  EXPECT_EQ(MessageOf([&] { registry.GetInterface("shop.orders.gone"); }),
            std::string("Interface não encontrada:SHOP.ORDERS.GONE"_cp));
  EXPECT_EQ(MessageOf([&] { registry.GetInterface("missing.orders.list"); }),
            std::string("Não foi possível acessar arquivo "_cp) + FFolder.Path() + "/missing.quv");
  TquvSymbolDefs defs;
  registry.FillDefinitions("shop.orders.list", defs);
  EXPECT_EQ(defs.Count(), 2);
  EXPECT_EQ(defs.IndexOf("CUSTOMER"), 1);
  EXPECT_EQ(defs.QualifiedName(), "SHOP.orders.list");
}

TEST_F(IntfRegistryTest, ExtensionFilesExtendTheirLibrary) {
  FFolder.WriteFile("app.quv", CurrentFile({{"orders.list", {"number"}}}));
  FFolder.WriteFile("app!extra.quv", CurrentFile({{"extra.more", {"note"}, "app.orders.list", 2}}));
  FFolder.WriteFile("app!extra!deep.quv", CurrentFile({{"deep.more", {}, "orders.list", 2}}));
  FFolder.WriteFile("application!x.quv", CurrentFile({{"x.y", {}, "orders.list", 2}}));
  FFolder.WriteFile("app!plain.quv", CurrentFile({{"plain.one", {}, "orders.list", 0}}));
  TquvInterfaceLib& lib = Registry().InternalGetItem("app");
  EXPECT_EQ(lib.ExtensionLibraryNames(),
            (std::vector<std::string>{"APP!EXTRA!DEEP", "APP!EXTRA", "APP!PLAIN"}));
  const std::vector<TquvInterfaceRef> extensions = lib.Extensions("orders.list");
  ASSERT_EQ(extensions.size(), 2u);
  EXPECT_EQ(extensions[0]->FullName(), "deep.more");
  EXPECT_EQ(extensions[1]->FullName(), "extra.more");
  EXPECT_EQ(extensions[1]->Defs()[0].Name(), "note");
  EXPECT_TRUE(lib.Extensions("extra.more").empty());
}

TEST_F(IntfRegistryTest, AnInterfaceSuffixReadsTheDataOfTheCompanionFile) {
  FFolder.WriteFile("suf.quv", CurrentFile({{"a.b", {"x"}}}));
  FFolder.WriteFile("suf.en.quvo", CurrentFile({{"a.b", {"x", "y"}}}));
  TquvInterfaces registry(TquvLibraryOptions{FFolder.Path(), true, false, "en"});
  EXPECT_EQ(registry.GetInterface("suf.a.b")->Defs().Count(), 2);
  TquvInterfaces missing(TquvLibraryOptions{FFolder.Path(), true, false, "pt"});
  EXPECT_EQ(MessageOf([&] { missing.GetInterface("suf.a.b")->Defs(); }),
            std::string("Não foi possível acessar arquivo "_cp) + FFolder.Path() + "/suf.pt.quvo");
}

TEST_F(IntfRegistryTest, DescriptorNamesAndSkippedFlaggedEntries) {
  FFolder.WriteFile("lib.quv", CurrentFile({{"desc.one", {}, "", -1, 10}, {"plain.two", {}}}));
  TquvInterfaceLib& lib = Registry().InternalGetItem("lib");
  EXPECT_TRUE(lib.IsDescriptorName("DESC.ONE"));
  EXPECT_FALSE(lib.IsDescriptorName("plain.two"));
  EXPECT_EQ(lib.Count(), 2);
}

TEST_F(IntfRegistryTest, ReplacedFileIsReloadedWhenTheWatcherSeesIt) {
  const std::string path = FFolder.WriteFile("live.quv", CurrentFile({{"old.one", {"a"}}}));
  // The test watches the file before the library does, so the library's item
  // is looked at after the test's in every scan: once the scan in which the
  // test saw the change has ended, the library has seen it too.
  std::shared_ptr<TFileWatcher> watcher = AcquireFileWatcher();
  TEvent seen;
  std::atomic<uint32_t> scanSeenIn{0};
  watcher->Add(path, this, [&](const std::string&) {
    scanSeenIn.store(watcher->ScanCount());
    seen.SetEvent();
  });
  TquvInterfaceLib& lib = Registry(true).InternalGetItem("live");
  TquvInterfaceRef old = lib.GetInterface("live.old.one");
  ASSERT_EQ(old->Defs().Count(), 1);
  const std::string replacement =
      FFolder.WriteFile("live.tmp", CurrentFile({{"new.one", {"a", "b"}}}));
  ASSERT_EQ(rename(replacement.c_str(), path.c_str()), 0);
  ASSERT_TRUE(seen.WaitFor(kWatcherCap));
  for (uint32_t waitedMs = 0; watcher->ScanCount() <= scanSeenIn.load(); ++waitedMs) {
    ASSERT_LT(waitedMs, kWatcherCap);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  watcher->Remove(this);
  EXPECT_EQ(lib.GetInterface("live.new.one")->Defs().Count(), 2);
  EXPECT_EQ(lib.ReloadCount(), 1u);
  EXPECT_EQ(MessageOf([&] { lib.GetInterface("live.old.one"); }),
            std::string("Interface não encontrada:LIVE.OLD.ONE"_cp));
  // A caller's reference stays usable.
  EXPECT_EQ(old->Defs()[0].Name(), "a");
}

TEST_F(IntfRegistryTest,
       AChangedFileIsReloadedForTheRegistryThatCountsItAndACorruptOneUntilMended) {
  const std::string path = FFolder.WriteFile("live.quv", CurrentFile({{"old.one", {"a"}}}));
  TquvInterfaces& registry = Registry();
  TquvInterfaceLib& lib = registry.InternalGetItem("live");
  EXPECT_EQ(registry.ReloadCount(), 0u);
  FFolder.WriteFile("live.quv", CurrentFile({{"new.one", {"a", "b"}}}));
  lib.NotifyChanged();
  EXPECT_EQ(registry.GetInterface("live.new.one")->Defs().Count(), 2);
  EXPECT_EQ(lib.ReloadCount(), 1u);
  EXPECT_EQ(registry.ReloadCount(), 1u);
  // A change that leaves the file as it was reads nothing again.
  lib.NotifyChanged();
  registry.GetInterface("live.new.one");
  EXPECT_EQ(registry.ReloadCount(), 1u);
  // A corrupt replacement keeps failing until it is mended.
  FFolder.WriteFile("live.quv", std::string("SQV37F\0\0garbage", 15));
  lib.NotifyChanged();
  for (int attempt = 0; attempt < 2; ++attempt)
    EXPECT_EQ(MessageOf([&] { lib.GetInterface("live.new.one"); }),
              "Invalid interface file index in " + path);
  FFolder.WriteFile("live.quv", CurrentFile({{"third.one", {}}}));
  EXPECT_EQ(lib.GetInterface("live.third.one")->FullName(), "third.one");
}

TEST_F(IntfRegistryTest, ProgramResourceTakesPrecedenceOverTheFile) {
  FFolder.WriteFile("quvsystem.quv", CurrentFile({{"other.thing", {}}}));
  TquvInterfaces& registry = Registry(true);
  EXPECT_EQ(registry.GetInterface("quvsystem.tasks.list")->Defs().Count(), 7);
  EXPECT_TRUE(registry.InternalGetItem("quvsystem").FromResource());
  EXPECT_EQ(MessageOf([&] { registry.GetInterface("quvsystem.other.thing"); }),
            std::string("Interface não encontrada:QUVSYSTEM.OTHER.THING"_cp));
  // Without any file the resource still serves.
  TTempFolder empty;
  TquvInterfaces bare(TquvLibraryOptions{empty.Path(), true, true});
  EXPECT_EQ(bare.GetInterface("quvsystem.sessions.cancel")->Defs()[0].Name(), "sessionkey");
}

TEST_F(IntfRegistryTest, FileBuiltByTheToolBesideTheResource) {
  // The resource goes for this test and comes back at its end.
  struct TRestore {
    std::string_view Bytes;
    ~TRestore() { RegisterResource("QUVFILE", "QUVSYSTEM", Bytes); }
  } restore{*FindResource("QUVFILE", "QUVSYSTEM")};
  UnregisterResource("QUVFILE", "quvsystem");
  TquvInterfaces& registry = Registry();
  TquvInterfaceLib& lib = registry.InternalGetItem(QUV_TEST_QUVSYSTEM_FILE);
  EXPECT_FALSE(lib.FromResource());
  ASSERT_EQ(lib.Count(), 6);
  TquvInterfaceSymbolDefs& defs = lib.GetInterface("quvsystem.sessions.open")->Defs();
  ASSERT_EQ(defs.Count(), 3);
  EXPECT_EQ(defs[2].Name(), "sessionkey");
  EXPECT_EQ(defs[2].TypeCode(), 'A');
}

TEST_F(IntfRegistryTest, IdleFileHandlesCloseAfterTheExpiry) {
  TManualClock clock(1000);
  TClockOverride use(clock);
  FFolder.WriteFile("shop.quv", CurrentFile({{"orders.list", {"number"}}}));
  TquvInterfaceLib& lib = Registry().InternalGetItem("shop");
  lib.GetInterface("orders.list")->Defs();
  EXPECT_EQ(lib.CachedHandleCount(), 1);
  clock.Advance(10000);
  lib.ExpireIdleHandles();
  EXPECT_EQ(lib.CachedHandleCount(), 1);
  clock.Advance(1);
  lib.ExpireIdleHandles();
  EXPECT_EQ(lib.CachedHandleCount(), 0);
}

TEST(IntfRegistryProcessTest, RecordReferencesAndNamedDefinitionsUseTheProcessRegistry) {
  EXPECT_FALSE(IsServerEnvironment());
  TquvSymbolDefs defs;
  InterfaceDefinitions("quvsystem.tasks.cancel", defs, false, 5);
  EXPECT_EQ(defs.Count(), 1);
  EXPECT_EQ(defs.Flag(), 5);
  EXPECT_EQ(defs.QualifiedName(), "QUVSYSTEM.tasks.cancel");
  TquvSymbolDefs record;
  TquvSymbolDef& field = record.AddSymbol("rows");
  field.SetTypeCode('R');
  field.SetReference("quvsystem.sessions.list");
  EXPECT_EQ(field.Nested().Count(), 6);
}

}  // namespace
}  // namespace quv
