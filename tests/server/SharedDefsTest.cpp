#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "server/common/quvRecordset.h"
#include "server/common/quvSharedDefs.h"

namespace quv {
namespace {

// A recordset with two fields and a row, saved with its definitions.
std::vector<uint8_t> SavedWithDefinitions(const char* firstField) {
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->SetName("partilhado");
  TquvSymbolDef& code = defs->AddSymbol(firstField);
  code.SetTypeCode('N');
  code.SetSize(4);
  TquvSymbolDef& text = defs->AddSymbol("texto");
  text.SetTypeCode('A');
  text.SetText(3, "descrição");
  TquvRecordset recordset;
  recordset.SetFieldDefs(std::move(defs));
  recordset.SetFieldValue(firstField, TVariant(7));
  recordset.SetFieldValue("texto", TVariant(std::string("sete")));
  recordset.AppendRow();
  TMemoryStream stream;
  recordset.SaveToStream(stream, kRsWithDefinitions | kRsFullDefinitions | kRsWithGroups);
  return stream.Bytes();
}

std::unique_ptr<TquvRecordset> Loaded(const std::vector<uint8_t>& bytes) {
  auto recordset = std::make_unique<TquvRecordset>();
  TMemoryStream stream(bytes);
  recordset->LoadFromStream(stream, true);
  return recordset;
}

std::vector<uint8_t> Resaved(TquvRecordset& recordset) {
  TMemoryStream stream;
  recordset.SaveToStream(stream, kRsWithDefinitions | kRsFullDefinitions | kRsWithGroups);
  return stream.Bytes();
}

TEST(SharedDefinitions, TheSameBlockIsReadOnceAndWrittenAsItCame) {
  const std::vector<uint8_t> bytes = SavedWithDefinitions("codigo");
  auto first = Loaded(bytes);
  auto second = Loaded(bytes);
  EXPECT_EQ(&first->FieldDefs(), &second->FieldDefs());
  EXPECT_EQ(Resaved(*first), bytes);
  EXPECT_EQ(Resaved(*second), bytes);  // the kept bytes of the shared set
  EXPECT_EQ(second->FieldIndex("TEXTO"), 1);
  EXPECT_EQ(second->GetFieldValue("codigo").ToInteger(), 7);

  auto other = Loaded(SavedWithDefinitions("numero"));
  EXPECT_NE(&other->FieldDefs(), &first->FieldDefs());
  EXPECT_EQ(other->FieldIndex("codigo"), -1);
}

TEST(SharedDefinitions, AChangeMakesACopyAndLeavesTheOthersAsTheyWere) {
  const std::vector<uint8_t> bytes = SavedWithDefinitions("codigo");
  auto changed = Loaded(bytes);
  auto untouched = Loaded(bytes);
  changed->MutableFieldDefs().Item(0).SetName("chave");
  EXPECT_EQ(changed->FieldIndex("chave"), 0);
  EXPECT_EQ(untouched->FieldIndex("chave"), -1);
  EXPECT_EQ(untouched->FieldDefs().Item(0).Name(), "codigo");
  EXPECT_EQ(Resaved(*untouched), bytes);
  EXPECT_NE(Resaved(*changed), bytes);
  EXPECT_EQ(Resaved(*Loaded(bytes)), bytes);
}

// A copy shares a shared set, writes the same bytes, and copies the set
// before changing it; a set of the source's own is copied at once.
TEST(SharedDefinitions, ACopySharesTheSetUntilItChangesIt) {
  const std::vector<uint8_t> bytes = SavedWithDefinitions("codigo");
  auto source = Loaded(bytes);
  TquvRecordset copy;
  copy.CopyFrom(*source, false, true);
  EXPECT_EQ(&copy.FieldDefs(), &source->FieldDefs());
  EXPECT_EQ(Resaved(copy), bytes);
  copy.MutableFieldDefs().Item(0).SetName("chave");
  EXPECT_EQ(source->FieldDefs().Item(0).Name(), "codigo");
  TquvRecordset second;
  second.CopyFrom(copy, false, true);
  EXPECT_NE(&second.FieldDefs(), &copy.FieldDefs());
  EXPECT_EQ(second.FieldIndex("chave"), 0);
}

TEST(SharedDefinitions, AReadErrorKeepsNothing) {
  std::vector<uint8_t> bytes = SavedWithDefinitions("codigo");
  TMemoryStream block(std::vector<uint8_t>(bytes.begin() + 6, bytes.begin() + 12));
  EXPECT_ANY_THROW(SharedDefinitionsFromBlock(block, 2, false, 0, ""));
  EXPECT_ANY_THROW(SharedDefinitionsFromBlock(block, 2, false, 0, ""));
}

// Recordsets on several threads read, look up and write one shared set.
TEST(SharedDefinitions, ThreadsShareOneSetSafely) {
  const std::vector<uint8_t> bytes = SavedWithDefinitions("codigo");
  std::vector<std::jthread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&bytes, &mismatches, t] {
      for (int i = 0; i < 50; ++i) {
        auto recordset = Loaded(bytes);
        if (recordset->FieldIndex("texto") != 1 || Resaved(*recordset) != bytes) ++mismatches[t];
      }
    });
  }
  threads.clear();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace quv
