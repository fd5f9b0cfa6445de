// The quvrecordset tool: recordsets built from JSON rows, their table and
// JSON dumps, the round trip through the dump, faults in the rows, hostile
// recordset bytes, and the program itself.

#include <gtest/gtest.h>

#include <sstream>

#include "platform/Cp1252.h"
#include "tests/kit/ByteBuilder.h"
#include "tests/kit/ProgramRun.h"
#include "tests/kit/TempFolder.h"
#include "tools/common/RecordsetDump.h"
#include "tools/quvintf/IntfDescription.h"
#include "tools/quvrecordset/RecordsetBuild.h"

namespace quv {
namespace {

using rstool::BuildRecordset;
using rstool::DumpAsJson;
using rstool::DumpAsText;
using rstool::LoadDefinitions;
using rstool::LoadRecordset;
using testing::MessageOf;

const std::string kShopDescription = R"({
  "library": "shop",
  "interfaces": [
    { "name": "orders.list",
      "fields": [
        { "name": "id", "type": "N" },
        { "name": "price", "type": "N", "decimals": 2 },
        { "name": "name", "type": "A" },
        { "name": "code", "type": "A", "size": 5 },
        { "name": "photo", "type": "I" },
        { "name": "paid", "type": "B" },
        { "name": "day", "type": "D" },
        { "name": "at", "type": "T" },
        { "name": "stamp", "type": "H" },
        { "name": "total", "type": "M" } ] }
  ]
})";

const std::string kShopRows = R"([
  { "id": 7, "price": 12.5, "name": "Código ação", "code": "AB", "photo": "AAEC/w==",
    "paid": true, "day": "2024-05-17", "at": "08:30:00.250",
    "stamp": "1999-12-31T23:59:59", "total": 1234.5678 },
  [ -3, null, "", null, null, false, "1899-12-30", "00:00:00", "0001-01-01T00:00:00", -0.0001 ],
  { "id": 1 }
])";

// Characters on screen before byte `at` of a UTF-8 line.
std::size_t ColumnOf(const std::string& line, std::size_t at) {
  std::size_t column = 0;
  for (std::size_t i = 0; i < at; ++i) column += (line[i] & 0xC0) != 0x80;
  return column;
}

class RecordsetToolTest : public ::testing::Test {
 protected:
  std::string ShopFile() const {
    return FFolder.WriteFile("shop.quv",
                             intftool::BuildInterfaceFile("shop.json", kShopDescription, "shop"));
  }
  std::string BuildShop(const std::string& rows) const {
    return BuildRecordset(LoadDefinitions(ShopFile(), "shop.orders.list"), "rows.json", rows);
  }
  std::string ShopError(const std::string& rows) const {
    return MessageOf([&] { BuildShop(rows); });
  }

  TTempFolder FFolder;
};

TEST_F(RecordsetToolTest, QuvsystemRowsDumpAsAlignedTableAndJson) {
  const std::string bytes =
      BuildRecordset(LoadDefinitions(QUV_TEST_QUVSYSTEM_FILE, "quvsystem.tasks.list"), "rows.json",
                     R"({ "tags": { "origin": "teste ç" }, "rows": [
        { "requestid": "17", "username": "joão", "clientdesc": "" },
        [ "9", "pc", "lista", "00:01", "quvsystem.tasks.list", "ana", "N" ] ] })");
  const auto recordset = LoadRecordset(bytes);
  EXPECT_EQ(recordset->RecordCount(), 2);

  const std::string table = DumpAsText(*recordset);
  EXPECT_NE(table.find("recordset QUVSYSTEM.tasks.list (flags 0x11, 2 rows)"), std::string::npos)
      << table;
  EXPECT_NE(table.find("tag origin = \"teste ç\""), std::string::npos) << table;
  EXPECT_NE(table.find("field 6: cancelled A\n"), std::string::npos) << table;
  // The header line, the rule and two rows put each column separator at the
  // same place.
  std::istringstream lines(table.substr(table.find("\n\n") + 2));
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4u);
  for (const std::string& row : rows)
    EXPECT_EQ(ColumnOf(row, row.rfind(" | ")), ColumnOf(rows[0], rows[0].rfind(" | "))) << table;
  EXPECT_NE(table.find("17        | \"\"         | (null)"), std::string::npos) << table;

  const nlohmann::ordered_json json = DumpAsJson(*recordset);
  EXPECT_EQ(json["name"], "QUVSYSTEM.tasks.list");
  EXPECT_EQ(json["tags"]["origin"], "teste ç");
  EXPECT_EQ(
      json["fields"][0],
      (nlohmann::ordered_json{{"name", "requestid"}, {"type", "A"}, {"size", 0}, {"decimals", 0}}));
  EXPECT_EQ(json["rows"][0]["username"], "joão");
  EXPECT_EQ(json["rows"][0]["clientdesc"], "");
  EXPECT_TRUE(json["rows"][0]["requestdesc"].is_null());
  EXPECT_EQ(json["rows"][1]["cancelled"], "N");
  EXPECT_EQ(recordset->Tags().Tag("origin"), std::string("teste ç"_cp));
}

TEST_F(RecordsetToolTest, EveryTypeDumpsAsJsonValuesAndBuildsTheSameBytesAgain) {
  const std::string bytes = BuildShop(kShopRows);
  const auto recordset = LoadRecordset(bytes);
  const nlohmann::ordered_json json = DumpAsJson(*recordset);
  // Every row dumps as it was given, whole numbers as such.
  EXPECT_EQ(json["rows"].dump(),
            R"([{"id":7,"price":12.5,"name":"Código ação","code":"AB","photo":"AAEC/w==",)"
            R"("paid":true,"day":"2024-05-17","at":"08:30:00.250","stamp":"1999-12-31T23:59:59",)"
            R"("total":1234.5678},{"id":-3,"price":null,"name":"","code":null,"photo":null,)"
            R"("paid":false,"day":"1899-12-30","at":"00:00:00","stamp":"0001-01-01T00:00:00",)"
            R"("total":-0.0001},{"id":1,"price":null,"name":null,"code":null,"photo":null,)"
            R"("paid":null,"day":null,"at":null,"stamp":null,"total":null}])");

  EXPECT_EQ(BuildShop(json.dump(2)), bytes);
  const std::string table = DumpAsText(*recordset);
  EXPECT_NE(table.find("<blob 4 bytes>"), std::string::npos) << table;
  EXPECT_NE(table.find("field 3: code A(5)"), std::string::npos) << table;
  EXPECT_NE(table.find("field 1: price N(0,2)"), std::string::npos) << table;
}

TEST_F(RecordsetToolTest, FaultyRowsNameTheirLineAndWhatIsWrong) {
  EXPECT_EQ(ShopError("[\n{ \"id\": 1.5 }]"),
            "rows.json:2: field \"id\": expected a whole number from -2147483648 to 2147483647");
  EXPECT_EQ(ShopError("[{},\n {\"colour\": 1}]"),
            "rows.json:2: \"colour\" is not a field of the definition");
  EXPECT_EQ(ShopError("[[1, 2]]"), "rows.json:1: a row list needs 10 values, not 2");
  EXPECT_EQ(ShopError("[{\"code\": \"ABCDEF\"}]"),
            "rows.json:1: field \"code\": longer than 5 bytes");
  EXPECT_EQ(ShopError("[{\"day\": \"2024-02-30\"}]"),
            "rows.json:1: field \"day\": expected a date (YYYY-MM-DD) or a number of days");
  EXPECT_EQ(ShopError("[{\"at\": \"24:00:00\"}]").substr(0, 30),
            "rows.json:1: field \"at\": expec");
  EXPECT_EQ(ShopError("[{\"photo\": \"AB=C\"}]"),
            "rows.json:1: field \"photo\": expected a base64 text");
  EXPECT_EQ(ShopError("[{\"paid\": 1}]"), "rows.json:1: field \"paid\": expected true or false");
  EXPECT_EQ(ShopError("{\"rows\": [], \"fields\": [{\"name\": \"id\", \"type\": \"A\"}]}"),
            "rows.json:1: the definition has 10 fields, not 1");
  EXPECT_EQ(ShopError("{\"row\": []}"), "rows.json:1: unknown key \"row\"");
  EXPECT_EQ(ShopError("[1,"),
            "rows.json:1: parse error at line 1, column 4: syntax error while parsing value - "
            "unexpected end of input; expected '[', '{', or a literal");
}

TEST_F(RecordsetToolTest, DefinitionsMustBeInTheGivenFile) {
  const std::string file = ShopFile();
  EXPECT_EQ(MessageOf([&] { LoadDefinitions(file, "other.orders.list"); }),
            file + ": the file holds the library \"shop\", not \"other\"");
  EXPECT_EQ(MessageOf([&] { LoadDefinitions(file, "orders.gone"); }),
            file + ": Interface não encontrada:ORDERS.GONE");
  EXPECT_EQ(LoadDefinitions(file, "orders.list")->Count(), 10);
}

TEST_F(RecordsetToolTest, HostileBytesGiveTheRecordsetError) {
  std::string bytes = BuildShop(kShopRows);
  // The last index entry's length now runs past the data.
  bytes[bytes.size() - 1] = '\x7F';
  EXPECT_EQ(MessageOf([&] {
              const auto recordset = LoadRecordset(bytes);
              DumpAsText(*recordset);
            }),
            "EOF error trying to read a SHOP.orders.list recordset");
  const std::string cut = bytes.substr(0, bytes.size() / 2);
  // Cut before the definitions end: the name is not known yet.
  EXPECT_EQ(MessageOf([&] { LoadRecordset(cut); }), "EOF error trying to read a  recordset");
}

testing::TProgramRun RunTool(const TTempFolder& folder, const std::string& arguments) {
  return testing::RunProgram(folder.Path(), std::string(QUV_RECORDSET_BINARY) + " " + arguments);
}

TEST_F(RecordsetToolTest, ProgramBuildsDumpsFromStandardInputAndFailsOnCorruptFiles) {
  const std::string rows = FFolder.WriteFile("rows.json", kShopRows);
  const std::string built = FFolder.Path() + "/orders.rs";
  const std::string build = "build --intf " + ShopFile() + " --definition ";
  EXPECT_EQ(RunTool(FFolder, build + "shop.orders.list " + rows + " " + built).Status, 0);
  EXPECT_EQ(testing::FileBytes(built), BuildShop(kShopRows));

  const testing::TProgramRun json = RunTool(FFolder, "dump --json < " + built);
  ASSERT_EQ(json.Status, 0) << json.Err;
  const std::string dumped = FFolder.WriteFile("dumped.json", json.Out);
  const std::string again = FFolder.Path() + "/again.rs";
  EXPECT_EQ(RunTool(FFolder, build + "orders.list " + dumped + " " + again).Status, 0);
  EXPECT_EQ(testing::FileBytes(again), testing::FileBytes(built));
  EXPECT_NE(RunTool(FFolder, "dump " + built).Out.find("(null)"), std::string::npos);

  const std::string corrupt = FFolder.WriteFile("corrupt.rs", std::string("\x01\x00\xFF\xFF", 4));
  const testing::TProgramRun failed = RunTool(FFolder, "dump " + corrupt);
  EXPECT_EQ(failed.Status, 1);
  EXPECT_EQ(failed.Err, "quvrecordset: " + corrupt + ": Stream read error\n");
}

TEST_F(RecordsetToolTest, ProgramNamesWhatIsWrongWithItsCommandLineAndInputs) {
  const std::string dir = FFolder.Path();
  const std::string rows = FFolder.WriteFile("rows.json", kShopRows);
  const std::string shop = ShopFile();
  const std::string build = "build --intf " + shop + " --definition orders.list ";
  const auto error = [&](const std::string& arguments) {
    const testing::TProgramRun run = RunTool(FFolder, arguments);
    return std::to_string(run.Status) + " " + run.Err;
  };
  EXPECT_EQ(error("frobnicate"),
            "2 quvrecordset: unknown command 'frobnicate'\nTry 'quvrecordset --help'.\n");
  EXPECT_EQ(error("build --intf " + shop + " " + rows + " out.rs"),
            "2 quvrecordset: --definition is required\nTry 'quvrecordset --help'.\n");
  EXPECT_EQ(error("dump --intf x"),
            "2 quvrecordset: unknown option '--intf'\nTry 'quvrecordset --help'.\n");
  EXPECT_EQ(
      error(""),
      "2 quvrecordset: a command is needed: dump, filter or build\nTry 'quvrecordset --help'.\n");
  EXPECT_EQ(error("dump " + dir), "1 quvrecordset: " + dir + ": Is a directory\n");
  EXPECT_EQ(error("dump < /dev/null"), "1 quvrecordset: standard input: nothing arrived\n");
  EXPECT_EQ(error("build --intf " + dir + " --definition orders.list " + rows + " " + dir + "/o"),
            "1 quvrecordset: " + dir + ": Is a directory\n");
  EXPECT_EQ(error("build --intf " + shop + " --definition orders.日 " + rows + " " + dir + "/o"),
            "2 quvrecordset: --definition: character \"日\" U+65E5 is outside Windows-1252\nTry "
            "'quvrecordset --help'.\n");
  const std::string foreign = FFolder.WriteFile("foreign.json", R"([{ "name": "Ação 日" }])");
  EXPECT_EQ(error(build + foreign + " " + dir + "/o"),
            "1 quvrecordset: " + foreign +
                ":1: field \"name\": character \"日\" U+65E5 is outside Windows-1252\n");
  // A hostile key is cut and its control characters shown, not sent to the terminal.
  const std::string hostile =
      FFolder.WriteFile("hostile.json", "[{ \"\\u001b]0;" + std::string(3000, 'k') + "\": 1 }]");
  const std::string cut = error(build + hostile + " " + dir + "/o");
  EXPECT_LT(cut.size(), 450u) << cut;
  EXPECT_EQ(cut.find('\x1b'), std::string::npos) << cut;
  EXPECT_NE(cut.find("\\x1B]0;kkk"), std::string::npos) << cut;
  const std::string built = dir + "/orders.rs";
  ASSERT_EQ(error(build + rows + " " + built), "0 ");
  EXPECT_EQ(error("dump " + built + " > /dev/full"),
            "1 quvrecordset: cannot write to standard output: No space left on device\n");
  EXPECT_EQ(RunTool(FFolder, "--help").Status, 0);
  EXPECT_EQ(RunTool(FFolder, "--version").Out.rfind("quvrecordset ", 0), 0u);
}

// Three scores with a calculated and an aggregate field, in a file.
std::string ScoresFile(const TTempFolder& folder) {
  const std::string description = R"js({ "library": "calc", "interfaces": [
    { "name": "scores.list", "fields": [
        { "name": "id", "type": "N" },
        { "name": "name", "type": "A", "size": 10 },
        { "name": "twice", "type": "N", "text12": "id * 2" },
        { "name": "place", "type": "N", "text12": "RANK(id, [])" } ] } ] })js";
  const std::string intf =
      folder.WriteFile("calc.quv", intftool::BuildInterfaceFile("calc.json", description, "calc"));
  return folder.WriteFile("scores.rs",
                          BuildRecordset(LoadDefinitions(intf, "calc.scores.list"), "rows.json",
                                         R"([{ "id": 3, "name": "bia" }, { "id": 5, "name": "ana" },
                         { "id": 3, "name": "caio" }])"));
}

TEST_F(RecordsetToolTest, CalculatedFieldsDumpWithTheirExpressionsAndFiltersKeepRows) {
  const std::string built = ScoresFile(FFolder);
  const testing::TProgramRun dump = RunTool(FFolder, "dump " + built);
  ASSERT_EQ(dump.Status, 0) << dump.Err;
  EXPECT_NE(dump.Out.find("field 2: twice N = id * 2\n"), std::string::npos) << dump.Out;
  EXPECT_NE(dump.Out.find("field 3: place N = RANK(id, [])\n"), std::string::npos) << dump.Out;

  const testing::TProgramRun json =
      RunTool(FFolder, "filter --json \"(twice > 6) or (name like '%i%')\" " + built);
  ASSERT_EQ(json.Status, 0) << json.Err;
  const auto document = nlohmann::ordered_json::parse(json.Out);
  EXPECT_EQ(document["fields"][2]["expression"], "id * 2");
  EXPECT_EQ(document["rows"].dump(), R"([{"id":3,"name":"bia","twice":6,"place":2},)"
                                     R"({"id":5,"name":"ana","twice":10,"place":1},)"
                                     R"({"id":3,"name":"caio","twice":6,"place":2}])");
  const testing::TProgramRun one = RunTool(FFolder, "filter \"name = 'ana'\" < " + built);
  ASSERT_EQ(one.Status, 0) << one.Err;
  EXPECT_NE(one.Out.find(", 1 rows)\n"), std::string::npos) << one.Out;
}

// A faulty filter is echoed with a caret under where the parser stopped, and
// one that does not give true or false is refused rather than keeping no row.
TEST_F(RecordsetToolTest, FiltersThatCannotSayTrueOrFalseAreRefused) {
  const std::string built = ScoresFile(FFolder);
  const auto failure = [&](const std::string& expression) {
    const testing::TProgramRun run = RunTool(FFolder, "filter \"" + expression + "\" " + built);
    EXPECT_EQ(run.Out, "");
    return std::to_string(run.Status) + " " + run.Err;
  };
  EXPECT_EQ(failure("id >"),
            "1 quvrecordset: EXPR: Esperado valor, variável ou função válidos, encontrado "
            "(fim da expressão)\n"
            "  id >\n"
            "      ^\n");
  EXPECT_EQ(failure("(name = 'ção') and and id"),
            "1 quvrecordset: EXPR: Esperado valor, variável ou função válidos, encontrado "
            "\"and\"\n"
            "  (name = 'ção') and and id\n"
            "                     ^\n");
  EXPECT_EQ(failure("'abc'"),
            "1 quvrecordset: EXPR: a filter must give true or false, not \"abc\" (text)\n");
  EXPECT_EQ(failure("name"),
            "1 quvrecordset: EXPR: a filter must give true or false, not \"bia\" (text)\n");
  EXPECT_EQ(failure("twice + 1"),
            "1 quvrecordset: EXPR: a filter must give true or false, not 7 (integer)\n");
}

}  // namespace
}  // namespace quv
