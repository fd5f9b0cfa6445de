// The quvintf builder and dump: descriptions with their faults, the round
// trip from a file of any version to its description and back, and the
// program itself.

#include <gtest/gtest.h>

#include "platform/Cp1252.h"
#include "server/common/quvIntfRegistry.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/IntfTestFiles.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/TempFolder.h"
#include "tools/quvintf/IntfDescription.h"
#include "tools/quvintf/IntfDump.h"

namespace quv {
namespace {

using intftool::BuildInterfaceFile;
using testing::MessageOf;
using testing::TByteBuilder;

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
        { "name": "lines", "type": "R", "reference": "shop.orders.line" } ],
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
  EXPECT_NE(intftool::DumpAsText(file, "shop.quv", "shop").find("customer A offset=4"),
            std::string::npos);
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
  EXPECT_EQ(
      BuildError("{ \"interfaces\":\n" + std::string(100000, '[') + std::string(100000, ']') + "}"),
      "d.json:2: nested deeper than 100 levels");
  const std::string parseError = BuildError("{\n\n  \"interfaces\": [ }");
  EXPECT_EQ(parseError.rfind("d.json:3: parse error", 0), 0u) << parseError;
}

// Interface files of any version written byte by byte, in the layout each
// version has, as other writers write them: an interface with groups and
// fields in both sets and every value that the version stores set, and a
// second, plain one. The groups of the two sets interleave, references come
// in full and short, version 3 states "NOT NULL" as a constraint, and
// version 2 fills the texts that nothing reads.
class THandWrittenFile final {
 public:
  explicit THandWrittenFile(int32_t version) : V(version) {}

  std::string Bytes() {
    // Even versions are plain files; some spell the tens digit "S".
    std::string signature = V % 2 == 0 ? "PQV" : "SQV";
    signature += V < 10 && V % 3 == 0 ? "S" : std::string(1, char('0' + V / 10));
    signature += std::string(1, char('0' + V % 10)) + "F";
    TByteBuilder file;
    file.Raw(signature).U16(V % 4 == 1 ? 0x0201 : 0);
    const int64_t first = static_cast<int64_t>(file.Bytes().size());
    Data(file, Orders());
    const int64_t second = static_cast<int64_t>(file.Bytes().size());
    Data(file, Lines());
    Index(file, {{"orders.list", 10, 1, uint32_t(first), "shop.orders.base", 2, 7},
                 {"orders.line", 0, 0, uint32_t(second), "", -1, 0}});
    return testing::AsString(file.Bytes());
  }

 private:
  // One field record's own values.
  struct TField {
    std::string Name;
    char Type;
    int16_t GroupIndex;     // in its own set, from version 9
    std::string GroupName;  // before version 9
    std::string Constraint;
    std::string Reference;
  };

  int S() const { return V >= 8 ? 1 : 4; }
  int M() const { return V >= 8 ? 2 : 4; }

  void Data(TByteBuilder& file, const std::vector<uint8_t>& data) const {
    TMemoryStream stream;
    if (V >= 13)
      WriteCompressedBlocks(stream, data);
    else
      stream.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
    file.Append(stream.Bytes());
  }

  void Header(TByteBuilder& b, const std::string& module, const std::string& name, uint16_t fields1,
              uint16_t fields2, uint16_t groups) const {
    if (V < 3) b.Text(M(), "lead").Text(S(), module + "." + name);
    b.Text(S(), module).Text(S(), name).Text(M(), "descri\xE7\xE3o").Text(S(), "Pedidos \xE9");
    b.U16(fields1).U16(fields2).U16(groups);
    if (V >= 3) b.U8(4);
    if (V >= 6) b.U16(600);
    if (V >= 7) b.U8(7);
    if (V >= 10) b.U8(10);
    if (V >= 11 && V < 17) b.U8(11);
    if (V >= 20) b.Text(4, "text two");
    if (V >= 21) b.U8(21);
    if (V >= 30) b.Text(4, "text three");
  }

  void Group(TByteBuilder& b, const std::string& name, uint8_t byteB) const {
    b.Text(S(), name).U16(3);
    if (V >= 13) b.U8(5).U8(byteB);
    if (V >= 25) b.U8(9).Text(1, "a").Text(2, "b");
  }

  void Field(TByteBuilder& b, const TField& field) const {
    if (V < 3) b.Text(M(), "lead one").Text(M(), "lead two");
    b.Text(S(), field.Name).U8(uint8_t(field.Type)).U16(20);
    // Writers store the increment flag of "+" fields where flags have room;
    // a "NOT NULL" constraint stands for the required flag.
    const uint16_t increment = field.Type == '+' && V >= 24 ? kSymbolIncrement : 0;
    const uint16_t required = field.Constraint == "NOT NULL" ? 0 : kSymbolRequired;
    const uint16_t flags = V >= 24 ? 0x1000 | required | increment : required;
    if (V >= 24)
      b.U16(flags);
    else
      b.U8(flags);
    b.U8(2).Text(S(), field.Constraint);
    if (V >= 3) {
      if (V >= 9)
        b.U16(uint16_t(field.GroupIndex));
      else
        b.Text(S(), field.GroupName);
      b.Text(M(), "t1").Text(S(), "t4").Text(S(), "t2").Text(S(), "t3").Text(S(), "t5");
      b.Text(S(), field.Reference);
    }
    if (V >= 4) V <= 20 ? b.U8(200) : b.U16(300);
    if (V >= 5) b.Text(S(), "t6").Text(M(), "t7").U8(1);
    if (V >= 12) b.Text(M(), "t8").Text(M(), "t9");
    if (V >= 18) b.Text(M(), "t10").Text(M(), "t11");
    if (V >= 19) b.U8(2);
    if (V >= 22) b.Text(M(), "t12");
    if (V >= 23) b.U8(3);
    if (flags & kSymbolHasText15) b.Text(M(), "t15");
    if (V >= 37) b.Text(M(), "t13");
  }

  std::vector<uint8_t> Orders() const {
    // Groups: listed from version 9, a second-set group between the first
    // set's two from 13 (ByteB); before 9 the fields name three groups.
    const bool listed = V >= 9;
    const bool second = V >= 13;
    const uint16_t groups = V < 3 ? 0 : listed && !second ? 2 : 3;
    TByteBuilder b;
    Header(b, "orders", "list", 2, 1, groups);
    if (listed) Group(b, "Main", 0);
    if (listed && second) Group(b, "Extra", 1);
    if (listed) Group(b, "Side", 0);
    Field(b, {"number", '+', 0, "Main", "price > 0", "orders.line"});
    Field(b, {"customer", 'A', 1, "Side", "NOT NULL", "shop.orders.line"});
    Field(b, {"total", 'M', int16_t(second ? 0 : -1), "Extra", "price > 0", ".orders.line"});
    return b.Bytes();
  }

  std::vector<uint8_t> Lines() const {
    TByteBuilder b;
    Header(b, "orders", "line", 1, 0, 0);
    Field(b, {"qty", 'N', -1, "", "", "other.orders.list"});
    return b.Bytes();
  }

  void Index(TByteBuilder& file, const std::vector<TIndexInfo>& entries) const {
    if (V < 36) {
      const int64_t start = static_cast<int64_t>(file.Bytes().size());
      for (const TIndexInfo& e : entries) {
        std::string name(59, '\0');
        name[0] = char(e.Name.size());
        name.replace(1, e.Name.size(), e.Name);
        file.Raw(name).U8(e.Kind).U8(e.Flag).Raw(std::string(3, '\0')).I32(int32_t(e.Offset));
      }
      file.I32(int32_t(start));
      return;
    }
    const int64_t table = static_cast<int64_t>(file.Bytes().size());
    std::string slot(256, '\0');
    slot[0] = char(entries[0].ExtraText.size());
    slot.replace(1, entries[0].ExtraText.size(), entries[0].ExtraText);
    file.Raw(slot).I32(int32_t(table));
    const int64_t start = static_cast<int64_t>(file.Bytes().size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const TIndexInfo& e = entries[i];
      std::string name(128, '\0');
      name[0] = char(e.Name.size());
      name.replace(1, e.Name.size(), e.Name);
      file.Raw(name).U8(e.Word2).U8(e.Kind).U8(e.Flag).I32(int32_t(e.Offset));
      file.U16(e.ExtraText.empty() ? kNoExtraText : 0).U16(uint16_t(e.Word1));
    }
    file.I32(int32_t(start));
  }

  const int32_t V;
};

TEST(IntfToolTest, FilesOfEveryVersionDumpToADescriptionThatBuildsTheSameBytes) {
  for (int32_t version = 2; version <= kInterfaceFileVersion; ++version) {
    const std::string bytes = THandWrittenFile(version).Bytes();
    const intftool::TDumpedFile file = intftool::ReadInterfaceFile("shop.quv", bytes);
    ASSERT_EQ(file.Header.FileVersion, version);
    const std::string description = intftool::DumpAsJson(file, "shop").dump(2);
    std::string rebuilt;
    const std::string error =
        MessageOf([&] { rebuilt = BuildInterfaceFile("d.json", description, "shop"); });
    ASSERT_EQ(error, "(no error)") << "version " << version << "\n" << description;
    EXPECT_TRUE(rebuilt == bytes) << "version " << version << "\n" << description;
  }
}

// What a dump tells about the cases that other writers store differently from
// this system: a reference as the library reads it and, where this system
// would store it otherwise, as stored; groups in file order; version 3
// "NOT NULL" constraints; the texts that open version 2 records.
TEST(IntfToolTest, DumpDescribesWhatOtherWritersStoreAsTheyStoreIt) {
  const auto describe = [](int32_t version) {
    const std::string bytes = THandWrittenFile(version).Bytes();
    return intftool::DumpAsJson(intftool::ReadInterfaceFile("shop.quv", bytes), "shop");
  };
  const nlohmann::ordered_json v37 = describe(37)["interfaces"][0];
  EXPECT_EQ(v37["groups"][1]["name"], "Extra");
  EXPECT_EQ(v37["fields"][0]["reference"], "shop.orders.line");
  EXPECT_FALSE(v37["fields"][0].contains("storedReference"));
  EXPECT_EQ(v37["fields"][1]["reference"], "shop.orders.line");
  EXPECT_EQ(v37["fields"][1]["storedReference"], "shop.orders.line");
  EXPECT_EQ(v37["fields2"][0]["storedReference"], ".orders.line");
  const nlohmann::ordered_json v3 = describe(3)["interfaces"][0];
  EXPECT_EQ(v3["fields"][1]["constraint"], "NOT NULL");
  EXPECT_FALSE(v3["fields"][1].contains("flags"));
  const nlohmann::ordered_json v2 = describe(2)["interfaces"][0];
  EXPECT_EQ(v2["leadText"], "lead");
  EXPECT_EQ(v2["fields"][0]["leadText2"], "lead two");
}

TEST(IntfToolTest, ValuesAVersionCannotKeepAreRefused) {
  const auto error = [](const std::string& signature, const std::string& interface) {
    return BuildError("{ \"signature\": \"" + signature + "\",\n \"interfaces\": [\n" + interface +
                      "] }");
  };
  EXPECT_EQ(error("SQV05F", R"({ "name": "a.b", "fields": [ { "name": "x", "type": "A",
                                "text8": "lost" } ] })"),
            "d.json:4: \"text8\" reads back as \"\" from a version 5 file");
  EXPECT_EQ(
      error("SQV37F", R"({ "name": "a.b", "text1": ")" + std::string(256, 'x') + R"(" })"),
      "d.json:3: \"text1\" reads back as \"" + std::string(255, 'x') + "\" from a version 37 file");
  EXPECT_EQ(error("SQV20F", R"({ "name": "a.b", "fields": [ { "name": "x", "type": "A",
                                "displayWidth": 256 } ] })"),
            "d.json:4: \"displayWidth\" reads back as 0 from a version 20 file");
  EXPECT_EQ(error("SQV05F", R"({ "name": "a.b", "groups": [ { "name": "G" } ] })"),
            "d.json:3: a version 5 file has no group list: a field's \"group\" names it");
  EXPECT_EQ(error("SQV10F", R"({ "name": "a.b", "groups": [ { "name": "G", "byteB": 1 } ] })"),
            "d.json:3: a version 10 file keeps no group of the second set (byteB)");
  EXPECT_EQ(error("SQV37F", R"({ "name": "a.b", "fields": [ { "name": "x", "type": "R",
                                "reference": "other.a.b" } ] })"),
            "d.json:4: \"reference\" reads back as \"shop.a.b\" from a version 37 file");
  EXPECT_EQ(error("SQV37F", R"({ "name": "a.b", "fields": [ { "name": "x", "type": "R",
                                "reference": "shop.a.b", "storedReference": "a.c" } ] })"),
            "d.json:4: \"reference\" reads back as \"shop.a.c\" from a version 37 file");
  EXPECT_EQ(error("SQV02F", R"({ "name": "a.b", "fields": [ { "name": "x", "type": "R",
                                "reference": "shop.a.b" } ] })"),
            "d.json:4: \"reference\" reads back as \"\" from a version 2 file");
  EXPECT_EQ(error("SQV35F", R"({ "name": "a.b", "word1": 2, "extraText": "x.y" })"),
            "d.json:3: \"extraText\" is kept only from version 36 on");
  EXPECT_EQ(error("SQV38F", ""), "d.json:1: \"signature\" names version 38; the newest is 37");
  EXPECT_EQ(error("SQV7", ""), "d.json:1: \"signature\" must have 6 characters");
  EXPECT_EQ(error("SQV37F", R"({ "name": "a.b", "text1": "日本" })"),
            "d.json:3: character \"日\" U+65E5 is outside Windows-1252");
}

TEST(IntfToolTest, ADuplicatedInterfaceIsRefusedByTheDumpAsByTheRegistry) {
  const std::string bytes = testing::CurrentFile({{"orders.list", {"a"}}, {"ORDERS.LIST", {"b"}}});
  EXPECT_EQ(MessageOf([&] { intftool::ReadInterfaceFile("shop.quv", bytes); }),
            "Interface duplicada ORDERS.LIST");
}

TEST(IntfToolTest, ProgramRoundTripsAFileWithANonAsciiNameAndReportsBadInput) {
  TTempFolder folder;
  const std::string dir = folder.Path();
  const std::string quvintf = QUV_INTF_BINARY;
  const std::string original = folder.WriteFile("ação.quv", THandWrittenFile(14).Bytes());
  const testing::TProgramRun dumped =
      testing::RunProgram(dir, quvintf + " dump --json " + original + " > " + dir + "/ação.json");
  ASSERT_EQ(dumped.Status, 0) << dumped.Err;
  EXPECT_NE(testing::FileBytes(dir + "/ação.json").find("\"library\": \"ação\""),
            std::string::npos);
  const testing::TProgramRun built = testing::RunProgram(
      dir, "cd " + dir + " && mkdir again && " + quvintf + " build ação.json again/ação.quv");
  ASSERT_EQ(built.Status, 0) << built.Err;
  EXPECT_EQ(built.Err, "");
  EXPECT_TRUE(testing::FileBytes(dir + "/again/ação.quv") == testing::FileBytes(original));

  const auto run = [&](const std::string& arguments) {
    return testing::RunProgram(dir, quvintf + " " + arguments);
  };
  EXPECT_EQ(run("dump " + dir).Err, "quvintf: " + dir + ": Is a directory\n");
  folder.WriteFile("empty.quv", "");
  EXPECT_EQ(run("dump " + dir + "/empty.quv").Err,
            "quvintf: " + dir + "/empty.quv: the file is empty\n");
  EXPECT_EQ(run("dump " + dir + "/none.quv").Status, 1);
  const testing::TProgramRun unknown = run("dump --bogus x.quv");
  EXPECT_EQ(unknown.Status, 2);
  EXPECT_EQ(unknown.Err, "quvintf: unknown option '--bogus'\nTry 'quvintf --help'.\n");
  EXPECT_EQ(run("build only.json").Status, 2);
  EXPECT_EQ(run("").Err, "quvintf: a command is needed: build or dump\nTry 'quvintf --help'.\n");
  EXPECT_EQ(run("build " + dir + "/ação.json 日本.quv").Err,
            "quvintf: the library name of 日本.quv: character \"日\" U+65E5 is outside "
            "Windows-1252\n");
  EXPECT_EQ(run("dump " + original + " > /dev/full").Status, 1);
  EXPECT_EQ(run("--help > /dev/full").Status, 1);
  const testing::TProgramRun version = run("--version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out.rfind("quvintf ", 0), 0u);
  // Debug lines reach the terminal in UTF-8.
  const std::string twice =
      folder.WriteFile("twice.json", R"({ "interfaces": [ { "name": "a.b", "fields": [
        { "name": "ação", "type": "A" }, { "name": "AçãO", "type": "A" } ] } ] })");
  const testing::TProgramRun debug = testing::RunProgram(
      dir, "QUV_DEBUG=1 " + quvintf + " build " + twice + " " + dir + "/twice.quv");
  EXPECT_EQ(debug.Status, 0);
  EXPECT_NE(debug.Err.find("Detected duplicated item AçãO in "), std::string::npos) << debug.Err;
  // A name of many kilobytes is not echoed whole.
  EXPECT_LT(run("dump " + std::string(5000, 'n')).Err.size(), 500u);
}

}  // namespace
}  // namespace quv
