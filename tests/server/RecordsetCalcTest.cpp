#include <gtest/gtest.h>

#include <tuple>

#include "platform/Cp1252.h"
#include "server/common/quvAggregates.h"
#include "server/common/quvRecordset.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;

// Name, type, size, decimals, expression.
using TFieldSpec = std::tuple<const char*, char, uint16_t, uint8_t, const char*>;

std::unique_ptr<TquvRecordset> Recordset(std::initializer_list<TFieldSpec> fields) {
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->SetName("calc");
  for (const auto& [name, code, size, decimals, expression] : fields) {
    TquvSymbolDef& field = defs->AddSymbol(name);
    field.SetTypeCode(code);
    field.SetSize(size);
    field.SetDecimals(decimals);
    field.SetText(kTextExpression, expression);
  }
  auto recordset = std::make_unique<TquvRecordset>();
  recordset->SetFieldDefs(std::move(defs));
  return recordset;
}

// Saves with definitions (short form) and loads into a fresh recordset.
std::unique_ptr<TquvRecordset> Reloaded(TquvRecordset& recordset, bool calcEnabled = true) {
  TMemoryStream stream;
  recordset.SaveToStream(stream, kRsWithDefinitions);
  stream.SetPosition(0);
  auto loaded = std::make_unique<TquvRecordset>();
  loaded->CalcEnabled = calcEnabled;
  loaded->LoadFromStream(stream, true);
  return loaded;
}

// A recordset of `fields` holding `rows`, saved and loaded again.
std::unique_ptr<TquvRecordset> LoadedWith(std::initializer_list<TFieldSpec> fields,
                                          const std::vector<std::vector<TVariant>>& rows) {
  auto rs = Recordset(fields);
  for (const auto& row : rows) rs->AppendValues(row);
  return Reloaded(*rs);
}

std::vector<TVariant> Column(TquvRecordset& recordset, std::string_view field) {
  std::vector<TVariant> values;
  for (recordset.First(); !recordset.Eof(); recordset.Next())
    values.push_back(recordset.GetFieldValue(field));
  return values;
}

TEST(CalculatedFields, ComputeOnReadAndAgainAfterAChange) {
  auto rs =
      Recordset({{"a", 'N', 4, 0, ""},
                 {"b", 'N', 4, 0, ""},
                 {"name", 'A', 20, 0, ""},
                 {"total", 'N', 8, 2, "a * null_to_z(b) + 0.5"},
                 {"label", 'A', 40, 0, "if(a > 1, 'big ' + name, 'small')"},
                 {"at", 'N', 4, 0, "pos('b', name) * 10 + poslowercase('B', name)"},
                 {"low", 'N', 8, 2, "min(a, 2) + max(a, 2)"},
                 {"truth", 'N', 4, 0, "if('1', 1, 2) * 100 + if('0', 1, 2) * 10 + if(b, 1, 2)"}});
  rs->AppendValues(std::vector<TVariant>{3, TVariant(), "abc"});
  rs->First();
  EXPECT_EQ(rs->GetFieldValue("total"), TVariant(0.5));
  EXPECT_EQ(rs->GetFieldValue("label"), TVariant("big abc"));
  EXPECT_EQ(rs->GetFieldValue("at"), TVariant(22));
  EXPECT_EQ(rs->GetFieldValue("low"), TVariant(5.0));
  // The condition converts to a Boolean as any Variant does; empty is false.
  EXPECT_EQ(rs->GetFieldValue("truth"), TVariant(122));
  rs->SetFieldValue("b", 4);
  rs->SetFieldValue("a", 1);
  EXPECT_EQ(rs->GetFieldValue("total"), TVariant(4.5));
  EXPECT_EQ(rs->GetFieldValue("label"), TVariant("small"));
  rs->SetFieldValue("name", "xBz");
  EXPECT_EQ(rs->GetFieldValue("at"), TVariant(2));
  // Without calculation the field keeps the value last stored in it.
  rs->CalcEnabled = false;
  rs->SetFieldValue("a", 7);
  EXPECT_EQ(rs->GetFieldValue("total"), TVariant(4.5));
}

TEST(CalculatedFields, StoredInTheRowsWhenLoaded) {
  auto rs = Recordset({{"a", 'N', 4, 0, ""}, {"twice", 'N', 4, 0, "a + a"}});
  for (int32_t a : {1, 2, 3}) rs->AppendValues(std::vector<TVariant>{a});
  // Loaded with calculation off, the rows show what loading stored.
  auto raw = Reloaded(*Reloaded(*rs), false);
  EXPECT_EQ(Column(*raw, "twice"), (std::vector<TVariant>{2, 4, 6}));
  EXPECT_EQ(Column(*raw, "a"), (std::vector<TVariant>{1, 2, 3}));
}

TEST(CalculatedFields, AFailureWhileLoadingLeavesNoRows) {
  auto rs = Recordset({{"a", 'N', 4, 0, ""}, {"bad", 'N', 4, 0, "missing + 1"}});
  for (int32_t a : {1, 2}) rs->AppendValues(std::vector<TVariant>{a});
  TMemoryStream stream;
  rs->SaveToStream(stream, kRsWithDefinitions);
  stream.SetPosition(0);
  TquvRecordset loaded;
  EXPECT_EQ(MessageOf([&] { loaded.LoadFromStream(stream, true); }),
            std::string("Não existe um campo chamado \"missing\" em calc"_cp));
  EXPECT_EQ(loaded.RecordCount(), 0);
  loaded.First();
  EXPECT_TRUE(loaded.Eof());
}

TEST(CalculatedFields, StayWhenLaterDefinitionsLackThem) {
  auto plain = Recordset({{"a", 'N', 4, 0, ""}});
  plain->AppendValues(std::vector<TVariant>{21});
  TMemoryStream stream;
  plain->SaveToStream(stream, kRsWithDefinitions);
  auto rs = Recordset({{"a", 'N', 4, 0, ""}, {"twice", 'N', 4, 0, "a + a"}});
  stream.SetPosition(0);
  rs->LoadFromStream(stream, true);
  ASSERT_EQ(rs->FieldCount(), 2);
  EXPECT_EQ(Column(*rs, "twice"), std::vector<TVariant>{42});
}

TEST(CalculatedFields, ErrorsOfExpressions) {
  auto rs = Recordset({{"a", 'N', 4, 0, ""}, {"bad", 'N', 4, 0, "missing + 1"}});
  rs->AppendValues(std::vector<TVariant>{1});
  rs->First();
  EXPECT_EQ(MessageOf([&] { rs->GetFieldValue("bad"); }),
            std::string("Não existe um campo chamado \"missing\" em calc"_cp));
  auto loop = Recordset({{"x", 'N', 4, 0, "y + 1"}, {"y", 'N', 4, 0, "x + 1"}});
  loop->AppendValues(std::vector<TVariant>{});
  loop->First();
  EXPECT_EQ(MessageOf([&] { loop->GetFieldValue("x"); }),
            "The calculated field x depends on itself");
  const std::string unfinished(
      "Esperado valor, variável ou função válidos, encontrado (fim da expressão)"_cp);
  EXPECT_EQ(MessageOf([] { Recordset({{"x", 'N', 4, 0, "1 +"}}); }), unfinished);
}

TEST(Aggregates, ParseAggregateBuildsTheDefinitions) {
  const auto rank = ParseAggregate("Rank(score, [team])");
  ASSERT_TRUE(rank);
  EXPECT_EQ(rank->ValueName, "score");
  EXPECT_EQ(rank->PartitionBy, std::vector<std::string>{"team"});
  EXPECT_EQ(rank->OrderBy, (std::vector<std::string>{"team", "score desc"}));
  EXPECT_FALSE(rank->Dense);
  const auto dense = ParseAggregate("DRANK(score, [])");
  ASSERT_TRUE(dense);
  EXPECT_TRUE(dense->Dense);
  EXPECT_EQ(dense->OrderBy, std::vector<std::string>{"score"});
  const auto sum = ParseAggregate("rsum(v, [day, hour], [team])");
  ASSERT_TRUE(sum);
  EXPECT_EQ(sum->OrderBy, (std::vector<std::string>{"day", "hour"}));
  EXPECT_EQ(sum->PartitionBy, std::vector<std::string>{"team"});
  EXPECT_FALSE(ParseAggregate("rank(a, [b]) + 1"));
  EXPECT_FALSE(ParseAggregate("sum(a)"));
  EXPECT_EQ(MessageOf([] { ParseAggregate("rank(a, b)"); }),
            "Argument 2 of rank must be a set of field names");
}

TEST(Aggregates, RankFunctionSharesRanksWithoutGaps) {
  TRankAggregateFunction rank;
  std::vector<TVariant> results;
  for (int32_t value : {10, 10, 7}) {
    rank.Accumulate(value);
    results.emplace_back();
    rank.GetResult(results.back());
  }
  EXPECT_EQ(results, (std::vector<TVariant>{1, 1, 2}));
  rank.Accumulate(TVariant::Null());
  TVariant result;
  rank.GetResult(result);
  EXPECT_EQ(result, TVariant::Null());
}

TEST(Aggregates, RankAndRunningSumFilledOnLoad) {
  auto loaded = LoadedWith(
      {{"team", 'A', 10, 0, ""},
       {"day", 'N', 4, 0, ""},
       {"score", 'N', 4, 0, ""},
       {"place", 'N', 4, 0, "RANK(score, [team])"},
       {"upto", 'N', 8, 2, "RSUM(score, [day], [team])"}},
      {{"b", 1, 10}, {"a", 2, 5}, {"b", 2, 30}, {"a", 1, 7}, {"b", 3, 10}, {"a", 3, TVariant()}});
  EXPECT_EQ(Column(*loaded, "place"), (std::vector<TVariant>{2, 2, 1, 1, 2, TVariant()}));
  EXPECT_EQ(Column(*loaded, "upto"), (std::vector<TVariant>{10.0, 12.0, 40.0, 7.0, 50.0, 12.0}));
  // The rows keep their order and values.
  EXPECT_EQ(Column(*loaded, "day"), (std::vector<TVariant>{1, 2, 2, 1, 3, 3}));
}

TEST(Aggregates, RankOverAnExpressionOrdersByItsValue) {
  auto loaded = LoadedWith({{"team", 'A', 10, 0, ""},
                            {"a", 'N', 4, 0, ""},
                            {"b", 'N', 4, 0, ""},
                            {"place", 'N', 4, 0, "RANK(a + b, [])"},
                            {"low", 'N', 4, 0, "DRANK(a - b, [team])"}},
                           {{"x", 1, 2}, {"y", 5, 0}, {"x", 3, 0}, {"y", 0, 1}, {"x", 4, 4}});
  // Sums 3, 5, 3, 1, 8; differences by team: x -1, 3, 0 and y 5, -1.
  EXPECT_EQ(Column(*loaded, "place"), (std::vector<TVariant>{3, 2, 3, 4, 1}));
  EXPECT_EQ(Column(*loaded, "low"), (std::vector<TVariant>{1, 2, 3, 1, 2}));
}

TEST(ExpressionFilter, KeepsMatchingRowsAndResets) {
  auto rs = Recordset({{"id", 'N', 4, 0, ""}, {"name", 'A', 10, 0, ""}, {"on", 'B', 0, 0, ""}});
  const std::vector<std::vector<TVariant>> rows = {
      {1, "ana", true}, {2, "bia", false}, {3, "bruno", true}, {4, TVariant(), true}};
  for (const auto& row : rows) rs->AppendValues(row);
  rs->Filter("(id > 1) and (name like 'b%')", false);
  EXPECT_EQ(Column(*rs, "id"), (std::vector<TVariant>{2, 3}));
  rs->Filter("id in [1, 4]", true);  // from all rows again
  EXPECT_EQ(Column(*rs, "id"), (std::vector<TVariant>{1, 4}));
  rs->Filter("name = 'ana'", false);  // within the rows left
  EXPECT_EQ(Column(*rs, "id"), (std::vector<TVariant>{1}));
  EXPECT_NE(MessageOf([&] { rs->Filter("id >", true); }), "(no error)");
  EXPECT_EQ(Column(*rs, "id"), (std::vector<TVariant>{1}));
  rs->Filter("", true);  // the rows of the filter before
  EXPECT_EQ(Column(*rs, "id"), (std::vector<TVariant>{1, 4}));
  rs->Filter("on", true);
  EXPECT_EQ(Column(*rs, "id"), (std::vector<TVariant>{1, 4}));
  rs->Filter("not on", false);
  EXPECT_EQ(rs->RecordCount(), 0);
  rs->Filter("", true);
  EXPECT_EQ(rs->RecordCount(), 2);
}

}  // namespace
}  // namespace quv
