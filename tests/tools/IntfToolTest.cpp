// The quvintf builder and dump: descriptions with their faults, and the
// round trip from a file to its description and back.

#include <gtest/gtest.h>

#include "platform/Cp1252.h"
#include "server/common/quvIntfRegistry.h"
#include "tests/kit/TempFolder.h"
#include "tests/kit/ByteBuilder.h"
#include "tools/quvintf/IntfDescription.h"
#include "tools/quvintf/IntfDump.h"

namespace quv {
namespace {

using intftool::BuildInterfaceFile;
using testing::MessageOf;

const std::string kDescription = R"({
  "library": "shop",
  "interfaces": [
    { "name": "orders.list", "text1": "Pedidos é", "word3": 3, "kindByte": 2,
      "descriptor": "about orders",
      "groups": [
        { "name": "Main", "number": 1 },
        { "name": "Extra", "byteB": 1, "textB": "second set" } ],
      "fields": [
        { "name": "number", "type": "N", "flags": 16, "group": "Main" },
        { "name": "customer", "type": "A", "size": 40, "text1": "Cliente",
          "flags": 4096, "text15": "fifteen", "byte2": 9, "displayWidth": 300 },
        { "name": "lines", "type": "R", "reference": "orders.line" } ],
      "fields2": [ { "name": "total", "type": "M", "group": "Extra" } ] },
    { "name": "orders.line", "fields": [ { "name": "qty", "type": "+" } ] },
    { "name": "orders.more", "extraText": "shop.orders.list", "word1": 2, "kind": 10 }
  ]
})";

std::string BuildError(const std::string& text) {
  return MessageOf([&] { BuildInterfaceFile("d.json", text, "shop"); });
}

TEST(IntfToolTest, DumpOfABuiltFileBuildsTheSameBytes) {
  const std::string bytes = BuildInterfaceFile("d.json", kDescription, "shop");
  const intftool::TDumpedFile file = intftool::ReadInterfaceFile("shop.quv", bytes);
  const std::string description = intftool::DumpAsJson(file, "shop").dump(2);
  EXPECT_EQ(BuildInterfaceFile("dump.json", description, "shop"), bytes);
  EXPECT_NE(intftool::DumpAsText(file, "shop.quv").find("customer A offset=4"), std::string::npos);
}

TEST(IntfToolTest, BuiltFileReadsBackThroughTheRegistry) {
  TTempFolder folder;
  folder.WriteFile("shop.quv", BuildInterfaceFile("d.json", kDescription, "shop"));
  TquvInterfaces registry(TquvLibraryOptions{folder.Path(), true, false});
  TquvInterfaceRef intf = registry.GetInterface("shop.orders.list");
  EXPECT_EQ(intf->Header().Text1, std::string("Pedidos é"_cp));
  EXPECT_EQ(intf->Header().Word3, 3);
  TquvInterfaceSymbolDefs& first = intf->Defs();
  ASSERT_EQ(first.Count(), 3);
  EXPECT_EQ(first[0].GroupName(), "Main");
  EXPECT_EQ(first[1].Text(15), "fifteen");
  EXPECT_EQ(first[1].DisplayWidth(), 300);
  EXPECT_EQ(first[2].Reference(), "SHOP.orders.line");
  TquvInterfaceSymbolDefs& second = intf->Defs(true);
  ASSERT_EQ(second.Count(), 1);
  EXPECT_EQ(second[0].GroupName(), "Extra");
  EXPECT_EQ(second.Group(0).TextB, "second set");
  EXPECT_EQ(registry.GetInterface("shop.orders.line")->Defs()[0].Flags(), kSymbolIncrement);
  TquvInterfaceLib& lib = registry.InternalGetItem("shop");
  EXPECT_TRUE(lib.IsDescriptorName("orders.more"));
  EXPECT_EQ(lib.Extensions("orders.list").size(), 1u);
}

TEST(IntfToolTest, DescriptionFaultsNameTheFileAndLine) {
  EXPECT_EQ(BuildError("{\n  \"interfaces\": [\n    { \"name\": \"a.b\",\n      \"fields\": [ "
                       "{ \"name\": \"x\", \"type\": \"Q\" } ] } ] }"),
            "d.json:4: \"type\" must be one of N+AIRBDTHM");
  EXPECT_EQ(BuildError("{\n \"interfaces\": [\n {\n \"name\": \"a.b\",\n \"colour\": 1 } ] }"),
            "d.json:5: unknown key \"colour\"");
  EXPECT_EQ(BuildError("{ \"interfaces\": [ { \"name\": \"ab\" } ] }"),
            "d.json:1: \"name\" must be module.interface");
  EXPECT_EQ(BuildError("{ \"library\": \"other\" }"),
            "d.json:1: \"library\" is \"other\" but the output file is for \"shop\"");
  EXPECT_EQ(BuildError("{\n \"interfaces\": [ { \"name\": \"a.b\", \"fields\": [\n"
                       " { \"name\": \"x\", \"type\": \"A\", \"group\": \"none\" } ] } ] }"),
            "d.json:3: \"none\" is not a group of this field's set");
  EXPECT_EQ(BuildError("{ \"interfaces\": [ { \"name\": \"a.b\" }, { \"name\": \"A.B\" } ] }"),
            "d.json:1: interface \"A.B\" twice");
  EXPECT_EQ(BuildError("{ \"interfaces\": [ { \"name\": \"a.b\", \"kind\": 256 } ] }"),
            "d.json:1: \"kind\" must lie between 0 and 255");
  const std::string parseError = BuildError("{\n\n  \"interfaces\": [ }");
  EXPECT_EQ(parseError.rfind("d.json:3: parse error", 0), 0u) << parseError;
}

}  // namespace
}  // namespace quv
