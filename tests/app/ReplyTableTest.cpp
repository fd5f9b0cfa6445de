#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "app/ReplyTable.h"
#include "server/common/quvAggregates.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;

// Fields "id" (N), "name" (A) and "broken", calculated from a field that does not exist.
// Without `withRows`, the same fields and no row.
std::unique_ptr<TquvRecordset> Tasks(bool withRows = true) {
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->SetName("tasks");
  defs->AddSymbol("id").SetTypeCode('N');
  TquvSymbolDef& name = defs->AddSymbol("Name");
  name.SetTypeCode('A');
  name.SetSize(20);
  TquvSymbolDef& broken = defs->AddSymbol("broken");
  broken.SetTypeCode('N');
  broken.SetText(kTextExpression, "missing + 1");
  auto rows = std::make_unique<TquvRecordset>();
  rows->SetFieldDefs(std::move(defs));
  if (!withRows) return rows;
  rows->AppendValues(std::vector<TVariant>{7, "first"});
  rows->AppendValues(std::vector<TVariant>{8, TVariant()});
  return rows;
}

TEST(ReplyTable, ReadsEveryRowByNameInAnyCaseAsTheRecordsetWouldAndNoneOfAnEmptyOne) {
  auto rows = Tasks();
  TReplyTable table(*rows);
  rows.reset();  // the table stands on its own
  ASSERT_FALSE(table.Eof());
  EXPECT_EQ(table.FieldText("ID"), "7");
  EXPECT_EQ(table.FieldText("name"), "first");
  table.Next();
  ASSERT_FALSE(table.Eof());
  EXPECT_EQ(table.FieldText("id"), "8");
  EXPECT_EQ(table.FieldText("NAME"), "");  // null
  table.Next();
  EXPECT_TRUE(table.Eof());
  EXPECT_TRUE(TReplyTable(*Tasks(false)).Eof());
}

TEST(ReplyTable, ErrorsComeWhereTheValueIsAskedForWithTheRecordsetsTexts) {
  auto rows = Tasks();
  rows->First();
  const std::string unknown = MessageOf([&] { rows->GetFieldValue("nosuchfield"); });
  const std::string broken = MessageOf([&] { rows->GetFieldValue("broken"); });
  ASSERT_NE(broken, "(no error)");
  TReplyTable table(*rows);
  EXPECT_EQ(MessageOf([&] { table.FieldText("nosuchfield"); }), unknown);
  EXPECT_EQ(MessageOf([&] { table.FieldText("broken"); }), broken);
  EXPECT_EQ(table.FieldText("name"), "first");  // the rest of the row still reads
  // Every field of any row, the failed one as its error text.
  using TFields = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(table.RowFields(1), (TFields{{"id", "8"}, {"Name", ""}, {"broken", broken}}));
}

}  // namespace
}  // namespace quv
