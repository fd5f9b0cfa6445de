#include <gtest/gtest.h>

#include "server/common/quvRecordset.h"
#include "support/DatasetIntf.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TByteBuilder;
using TBytes = std::vector<uint8_t>;

struct TColumn {
  std::string Name;
  int32_t DataType;
  int32_t Size;
};

// A small in-memory table.
class TTestDataset final : public TInterfacedObject, public IDataset {
 public:
  TTestDataset(std::vector<TColumn> columns, std::vector<std::vector<TVariant>> rows)
      : FColumns(std::move(columns)), FRows(std::move(rows)) {}

  HResult QueryInterface(const TGUID& iid, void** object) override {
    if (iid == IDataset::IID) return Found(static_cast<IDataset*>(this), object);
    return TInterfacedObject::QueryInterface(iid, object);
  }
  int32_t FieldCount() override { return int32_t(FColumns.size()); }
  std::string FieldName(int32_t index) override { return FColumns.at(index).Name; }
  int32_t FieldDataType(int32_t index) override { return FColumns.at(index).DataType; }
  int32_t FieldSize(int32_t index) override { return FColumns.at(index).Size; }
  int32_t FieldIndex(std::string_view name) override {
    for (std::size_t i = 0; i < FColumns.size(); ++i)
      if (FColumns[i].Name == name) return int32_t(i);
    return -1;
  }
  void First() override { FRow = 0; }
  bool Eof() override { return FRow >= FRows.size(); }
  TVariant FieldValue(int32_t index) override { return FRows.at(FRow).at(std::size_t(index)); }
  void Next() override { ++FRow; }

 private:
  std::vector<TColumn> FColumns;
  std::vector<std::vector<TVariant>> FRows;
  std::size_t FRow = 0;
};

TVariant Dataset(std::vector<TColumn> columns, std::vector<std::vector<TVariant>> rows) {
  return TRef<IInterface>(new TTestDataset(std::move(columns), std::move(rows)));
}

TVariant TwoRows() {
  return Dataset({{"id", datasettype::Integer, 0},
                  {"nome", datasettype::String, 10},
                  {"ok", datasettype::Boolean, 0}},
                 {{7, "ab", true}, {8, "c", false}});
}

// A record field in a set of its own; `reference` names its definition set.
class TRecordField {
 public:
  explicit TRecordField(const std::string& reference = "") : FField(FDefs.AddSymbol("r")) {
    FField.SetTypeCode('R');
    FField.Nested();
    FField.SetReference(reference);
  }
  TquvSymbolDef& Field() { return FField; }
  TquvSymbolDefs& Nested() { return FField.Nested(); }

 private:
  TquvSymbolDefs FDefs;
  TquvSymbolDef& FField;
};

TBytes Encode(const TVariant& value, const TquvSymbolDef& field, bool withLength) {
  TMemoryStream out;
  VarToData(value, out, field, withLength);
  return out.Bytes();
}

std::unique_ptr<TquvRecordset> Loaded(const TBytes& bytes) {
  TMemoryStream stream(bytes);
  auto recordset = std::make_unique<TquvRecordset>();
  recordset->CacheBlobs = true;
  recordset->LoadFromStream(stream, false);
  return recordset;
}

TEST(DatasetValue, TwoRowsAreWrittenInRecordsetForm) {
  TRecordField field;
  TquvSymbolDefs expectedDefs;
  for (auto [name, code, size] : {std::tuple{"id", 'N', 8}, {"nome", 'A', 10}, {"ok", 'B', 0}}) {
    TquvSymbolDef& def = expectedDefs.AddSymbol(name);
    def.SetTypeCode(code);
    def.SetSize(uint16_t(size));
  }
  TMemoryStream defs;
  expectedDefs.WriteToStream(defs, 1, 2, false);
  TByteBuilder rows;
  rows.U8(4).I32(int32_t(0xFFFFFFF8)).I32(7).Text(4, "ab").U16(0xFFFF);
  rows.U8(4).I32(int32_t(0xFFFFFFF8)).I32(8).Text(4, "c").U16(0);
  const TBytes& data = rows.Bytes();
  const TBytes index = TByteBuilder().I32(0).I32(17).I32(17).I32(16).Bytes();
  auto body = [&](uint8_t flags) {
    TByteBuilder b;
    b.U8(1).U8(flags).I32(4).I32(0).I32(int32_t(defs.Size())).Append(defs.Bytes());
    b.I32(int32_t(data.size())).Append(data).I32(int32_t(index.size())).Append(index);
    return b.Bytes();
  };
  EXPECT_EQ(Encode(TwoRows(), field.Field(), false), body(1));
  const TBytes withLength = body(3);
  EXPECT_EQ(Encode(TwoRows(), field.Field(), true),
            TByteBuilder().I32(int32_t(withLength.size())).Append(withLength).Bytes());
}

TEST(DatasetValue, ColumnTypesMapToFieldTypesAndNestedDatasetsNest) {
  TVariant children = Dataset({{"x", datasettype::SmallInt, 0}}, {{41}, {42}});
  TVariant table = Dataset({{"s", datasettype::WideString, 12},
                            {"i", 128 + datasettype::AutoInc, 0},
                            {"f", datasettype::BCD, 0},
                            {"c", datasettype::Currency, 0},
                            {"d", datasettype::Date, 0},
                            {"h", datasettype::DateTime, 0},
                            {"b", datasettype::OraBlob, 0},
                            {"m", datasettype::Memo, 0},
                            {"n", datasettype::Dataset, 0}},
                           {{"s", 1, 1.5, 2.25, TVariant(), TVariant(), "blob", "memo", children}});
  TRecordField field;
  auto loaded = Loaded(Encode(table, field.Field(), false));
  std::string layout;
  for (int32_t i = 0; i < loaded->FieldCount(); ++i) {
    const TquvSymbolDef& def = loaded->FieldDefs().Item(i);
    layout +=
        def.TypeCode() + std::to_string(def.Size()) + "." + std::to_string(def.Decimals()) + " ";
  }
  EXPECT_EQ(layout, "A12.0 N8.0 N15.7 N15.2 D10.0 H10.0 I0.0 A0.0 R0.0 ");
  EXPECT_EQ(loaded->GetFieldValue("c"), TVariant(2.25));
  EXPECT_EQ(loaded->GetFieldValue("m"), TVariant("memo"));
  std::unique_ptr<TquvRecordset> nested = loaded->GetNestedRecordset("n");
  ASSERT_EQ(nested->RecordCount(), 2);
  nested->Last();
  EXPECT_EQ(nested->GetFieldValue("x"), TVariant(42));
}

TEST(DatasetValue, AFieldDefinitionSetTakesSameNamedColumnsAndNullsTheRest) {
  TRecordField field("conjunto");
  field.Nested().AddSymbol("nome").SetTypeCode('A');
  field.Nested().Item(0).SetSize(10);
  field.Nested().AddSymbol("falta").SetTypeCode('N');
  auto loaded = Loaded(Encode(TwoRows(), field.Field(), false));
  ASSERT_EQ(loaded->FieldCount(), 2);
  ASSERT_EQ(loaded->RecordCount(), 2);
  loaded->Last();
  EXPECT_EQ(loaded->GetFieldValue("nome"), TVariant("c"));
  EXPECT_TRUE(loaded->GetFieldValue("falta").IsEmpty());
}

TEST(DatasetValue, EmptyDatasetOfAnUnchangedSetIsNotSerialised) {
  TRecordField field("conjunto");
  field.Nested().AddSymbol("nome").SetTypeCode('A');
  field.Nested().SetModified(false);
  const TVariant empty = Dataset({{"nome", datasettype::Memo, 0}}, {});
  EXPECT_EQ(Encode(empty, field.Field(), true), TByteBuilder().I32(0).Bytes());
  EXPECT_TRUE(Encode(empty, field.Field(), false).empty());
  // Definitions made from the columns count as changed: the value is written.
  TRecordField plain;
  EXPECT_EQ(Loaded(Encode(empty, plain.Field(), false))->FieldCount(), 1);
}

TEST(DatasetValue, UnmappedColumnTypeAndOtherInterfacesFail) {
  TRecordField field;
  const TVariant words = Dataset({{"ok", datasettype::Integer, 0}, {"w", 4, 0}}, {});
  EXPECT_EQ(MessageOf([&] { Encode(words, field.Field(), false); }),
            "Field type not supported in output of w");
  const TVariant text(TRef<IInterface>(new TString("x")));
  EXPECT_EQ(MessageOf([&] { Encode(text, field.Field(), false); }),
            "Unsuported interface at quvStream.VarToData.");
}

}  // namespace
}  // namespace quv
