#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "platform/Cp1252.h"
#include "platform/DateTime.h"
#include "server/common/quvBufferedStreams.h"
#include "server/common/quvRecordset.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TByteBuilder;
using TFieldSpec = std::tuple<const char*, char, uint16_t, uint8_t>;

std::unique_ptr<TquvSymbolDefs> Defs(std::initializer_list<TFieldSpec> fields,
                                     const char* name = "teste") {
  auto defs = std::make_unique<TquvSymbolDefs>();
  defs->SetName(name);
  for (const auto& [fieldName, code, size, decimals] : fields) {
    TquvSymbolDef& field = defs->AddSymbol(fieldName);
    field.SetTypeCode(code);
    field.SetSize(size);
    field.SetDecimals(decimals);
  }
  return defs;
}

std::unique_ptr<TquvRecordset> Recordset(std::initializer_list<TFieldSpec> fields) {
  auto recordset = std::make_unique<TquvRecordset>();
  recordset->SetFieldDefs(Defs(fields));
  return recordset;
}

std::vector<uint8_t> AllOf(TStream& stream) {
  std::vector<uint8_t> bytes(static_cast<std::size_t>(stream.Size()));
  stream.SetPosition(0);
  stream.ReadBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  return bytes;
}

std::vector<uint8_t> Saved(TquvRecordset& recordset, uint8_t flags) {
  TMemoryStream stream;
  recordset.SaveToStream(stream, flags);
  return stream.Bytes();
}

std::string EofMessage() { return "EOF error trying to read a teste recordset"; }

TEST(RecordsetBytes, EmptyRecordsetWithAndWithoutTotalLength) {
  auto recordset = Recordset({{"n", 'N', 4, 0}});
  const auto body = TByteBuilder().U8(1).U8(0).I32(4).I32(0).I32(0).I32(0).Bytes();
  EXPECT_EQ(Saved(*recordset, 0), body);
  auto withLength = TByteBuilder().I32(18).U8(1).U8(2).I32(4).I32(0).I32(0).I32(0).Bytes();
  EXPECT_EQ(Saved(*recordset, kRsTotalLength), withLength);
}

TEST(RecordsetBytes, FirstRowEncodingIsTheSameForBothAppendPaths) {
  const auto row =
      TByteBuilder().U8(4).Raw("\xF8\xFF\xFF\xFF").I32(7).I32(2).Raw("ab").U16(0xFFFF).Bytes();
  auto byValues = Recordset({{"n", 'N', 4, 0}, {"a", 'A', 10, 0}, {"b", 'B', 0, 0}});
  const TVariant values[] = {7, "ab", true};
  byValues->AppendValues(values);
  auto byRow = Recordset({{"n", 'N', 4, 0}, {"a", 'A', 10, 0}, {"b", 'B', 0, 0}});
  byRow->NewRow();
  byRow->SetFieldValue("N", 7);
  byRow->SetFieldValue("a", "ab");
  byRow->SetFieldValue("b", true);
  byRow->AppendRow();
  for (TquvRecordset* recordset : {byValues.get(), byRow.get()}) {
    EXPECT_EQ(AllOf(recordset->DataStream()), row);
    EXPECT_EQ(AllOf(recordset->IndexStream()), TByteBuilder().I32(0).I32(17).Bytes());
    EXPECT_EQ(recordset->GetFieldValue("a"), TVariant("ab"));
  }
}

TEST(RecordsetBytes, TagBagIsWrittenInNameOrder) {
  auto recordset = Recordset({{"n", 'N', 4, 0}});
  recordset->Tags().SetTag("b", "2");
  recordset->Tags().SetTag("A", "1");
  recordset->Tags().SetTag("B", "3");
  const auto tags =
      TByteBuilder().I32(2).I32(1).Raw("A").I32(1).Raw("1").I32(1).Raw("b").I32(1).Raw("3").Bytes();
  const auto expected =
      TByteBuilder().U8(1).U8(0).I32(int32_t(tags.size())).Append(tags).I32(0).I32(0).Bytes();
  const auto bytes = Saved(*recordset, 0);
  EXPECT_EQ(bytes, expected);
  TMemoryStream stream(bytes);
  TquvRecordset loaded;
  loaded.LoadFromStream(stream, true);
  EXPECT_EQ(loaded.Tags().Tag("a"), "1");
  EXPECT_EQ(loaded.Tags().Tag("B"), "3");
}

TEST(Recordset, EveryTypeCodeSurvivesSaveAndLoad) {
  auto recordset = Recordset({{"i", 'N', 4, 0},
                              {"f", 'N', 8, 2},
                              {"inc", '+', 4, 0},
                              {"fixo", 'A', 10, 0},
                              {"memo", 'A', 0, 0},
                              {"img", 'I', 0, 0},
                              {"b", 'B', 0, 0},
                              {"d", 'D', 0, 0},
                              {"t", 'T', 0, 0},
                              {"h", 'H', 0, 0},
                              {"m", 'M', 0, 0}});
  const double day = EncodeDateTime({2000, 1, 1});
  const double when = EncodeDateTime({2000, 1, 1, 12, 30, 15, 250});
  const double time = EncodeDateTime({1899, 12, 30, 12, 30, 15, 250});
  const std::vector<TVariant> values = {-5,
                                        2.5,
                                        9,
                                        "abc",
                                        std::string(70000, 'x'),
                                        std::string("\0\1\2", 3),
                                        false,
                                        TVariant::FromDateTime(day),
                                        TVariant::FromDateTime(when),
                                        TVariant::FromDateTime(when),
                                        TVariant::FromCurrency(123456)};
  recordset->AppendValues(values);
  recordset->AppendValues(std::vector<TVariant>{1});
  recordset->SetFlags(kRsWithDefinitions);
  for (bool cacheBlobs : {false, true}) {
    TMemoryStream stream(Saved(*recordset, 0));
    TquvRecordset loaded;
    loaded.CacheBlobs = cacheBlobs;
    loaded.LoadFromStream(stream, false);
    ASSERT_EQ(loaded.RecordCount(), 2);
    ASSERT_EQ(loaded.FieldCount(), 11);
    for (int32_t i = 0; i < 11; ++i) {
      if (loaded.FieldDefs().Item(i).Size() == 0 &&
          (loaded.FieldDefs().Item(i).TypeCode() == 'A' ||
           loaded.FieldDefs().Item(i).TypeCode() == 'I') &&
          !cacheBlobs) {
        EXPECT_TRUE(loaded.GetFieldValueByIndex(i).IsEmpty()) << "a blob left in the stream";
        continue;
      }
      const TVariant expected = i == 8 ? TVariant::FromDateTime(time) : values[std::size_t(i)];
      EXPECT_EQ(loaded.GetFieldValueByIndex(i), expected) << "field " << i;
    }
    loaded.Next();
    EXPECT_EQ(loaded.GetFieldValue("i"), TVariant(1));
    EXPECT_TRUE(loaded.GetFieldValue("memo").IsEmpty());
  }
}

TEST(Recordset, EmptyTextIsNullAndUnknownFieldsAreNamed) {
  auto recordset = Recordset({{"a", 'A', 10, 0}});
  recordset->NewRow();
  recordset->SetFieldValue("a", "x");
  recordset->SetFieldValue("a", "");
  recordset->AppendRow();
  EXPECT_TRUE(recordset->GetFieldValue("a").IsEmpty());
  EXPECT_EQ(MessageOf([&] { recordset->GetFieldValue("zz"); }),
            std::string("Não existe um campo chamado \"zz\" em teste"_cp));
  recordset->GoToRow(5);
  EXPECT_TRUE(recordset->GetFieldValue("a").IsEmpty()) << "beyond the last row: all null";
}

// Three rows of an unbounded text and a number behind it.
std::unique_ptr<TquvRecordset> ThreeRows() {
  auto recordset = Recordset({{"memo", 'A', 0, 0}, {"n", 'N', 4, 0}});
  recordset->CacheBlobs = true;
  for (int32_t i = 0; i < 3; ++i)
    recordset->AppendValues(std::vector<TVariant>{std::string(5, char('a' + i)), i});
  return recordset;
}

std::vector<int32_t> Offsets(TquvRecordset& recordset) {
  const auto index = AllOf(recordset.IndexStream());
  std::vector<int32_t> offsets;
  for (std::size_t i = 0; i < index.size(); i += 8)
    offsets.push_back(index[i] | index[i + 1] << 8 | index[i + 2] << 16 | index[i + 3] << 24);
  return offsets;
}

TEST(Recordset, PostRowGrowsAndShrinksRowsInTheMiddle) {
  auto recordset = ThreeRows();
  const auto before = Offsets(*recordset);
  recordset->GoToRow(1);
  recordset->SetFieldValue("memo", "bbbbbbbb");
  recordset->PostRow();
  EXPECT_EQ(Offsets(*recordset), (std::vector<int32_t>{before[0], before[1], before[2] + 3}));
  recordset->SetFieldValue("memo", "b");
  recordset->PostRow();
  EXPECT_EQ(Offsets(*recordset), (std::vector<int32_t>{before[0], before[1], before[2] - 4}));
  const char* expected[] = {"aaaaa", "b", "ccccc"};
  for (int32_t row = 0; row < 3; ++row) {
    recordset->GoToRow(row);
    EXPECT_EQ(recordset->GetFieldValue("memo"), TVariant(expected[row]));
    EXPECT_EQ(recordset->GetFieldValue("n"), TVariant(row));
  }
  EXPECT_EQ(recordset->AppendPosition(), recordset->DataStream().Size());
}

TEST(Recordset, AppendOnlyUpdatesMoveAGrownRowToTheEnd) {
  auto recordset = ThreeRows();
  recordset->AppendOnlyUpdates = true;
  const int64_t size = recordset->DataStream().Size();
  recordset->GoToRow(0);
  recordset->SetFieldValue("memo", "aaaaaaaaa");
  recordset->PostRow();
  EXPECT_EQ(Offsets(*recordset)[0], size);
  recordset->GoToRow(2);
  recordset->GoToRow(0);
  EXPECT_EQ(recordset->GetFieldValue("memo"), TVariant("aaaaaaaaa"));
}

TEST(Recordset, BlobStreamKeepsTheOldValueAfterAChange) {
  auto recordset = ThreeRows();
  recordset->CacheBlobs = false;
  recordset->GoToRow(1);
  std::unique_ptr<TquvBlobStream> blob = recordset->GetBlobStream("memo", false);
  char first[2] = {};
  blob->ReadBuffer(first, 2);
  recordset->SetFieldValue("memo", "changed value");
  recordset->PostRow();
  EXPECT_FALSE(blob->Attached());
  char rest[3] = {};
  blob->ReadBuffer(rest, 3);
  EXPECT_EQ(std::string(first, 2) + std::string(rest, 3), "bbbbb");
  auto writer = recordset->GetBlobStream("memo", true);
  writer->CommitOnClose = true;
  writer->WriteBuffer("zz", 2);
  writer.reset();
  EXPECT_EQ(recordset->GetFieldValue("memo"), TVariant("zz"));
}

// Values read where a loaded row lies must come out unchanged when the row
// buffer is then changed, posted or handed to a blob stream.
TEST(Recordset, ValuesOfALoadedRowSurviveChangesToTheRow) {
  auto recordset = Recordset({{"n", 'N', 4, 0}, {"fixo", 'A', 10, 0}, {"memo", 'A', 0, 0}});
  recordset->CacheBlobs = true;
  for (int32_t i = 0; i < 2; ++i)
    recordset->AppendValues(std::vector<TVariant>{i, "fixo" + std::to_string(i), "memo"});
  recordset->GoToRow(0);
  EXPECT_EQ(recordset->GetFieldValue("fixo"), TVariant("fixo0"));
  {
    std::unique_ptr<TquvBlobStream> blob = recordset->GetBlobStream("fixo", false);
    std::string bytes(6, '?');
    EXPECT_EQ(blob->Read(bytes.data(), 6), 6);
    EXPECT_EQ(bytes, std::string("fixo0\0", 6)) << "a loaded fixed text ends with a NUL";
  }
  recordset->SetFieldValue("n", 9);
  recordset->PostRow();
  recordset->GoToRow(1);
  recordset->GoToRow(0);
  EXPECT_EQ(recordset->GetFieldValue("n"), TVariant(9));
  EXPECT_EQ(recordset->GetFieldValue("fixo"), TVariant("fixo0"));
  EXPECT_EQ(recordset->GetFieldValue("memo"), TVariant("memo"));
}

TEST(Recordset, AFailedAppendLeavesNoBytesBehind) {
  auto recordset = Recordset({{"a", 'A', 10, 0}, {"n", 'N', 4, 0}});
  recordset->AppendValues(std::vector<TVariant>{"ok", 1});
  const auto data = AllOf(recordset->DataStream());
  EXPECT_THROW(recordset->AppendValues(std::vector<TVariant>{"long text here", "no number"}),
               Exception);
  EXPECT_EQ(AllOf(recordset->DataStream()), data);
  EXPECT_EQ(recordset->RecordCount(), 1);
}

TEST(Recordset, SharedDataIsCopiedBeforeEitherSideChangesIt) {
  auto source = ThreeRows();
  TquvRecordset sharer;
  sharer.CacheBlobs = true;
  sharer.CopyFrom(*source, true, true);
  EXPECT_EQ(sharer.RecordCount(), 3);
  source->GoToRow(0);
  source->SetFieldValue("memo", "longer first row");
  source->PostRow();
  sharer.GoToRow(2);
  EXPECT_EQ(sharer.GetFieldValue("memo"), TVariant("ccccc")) << "the sharer kept its rows";
  TquvRecordset second;
  second.CopyFrom(*source, true, true);
  second.AppendValues(std::vector<TVariant>{"novo", 9});
  EXPECT_EQ(second.RecordCount(), 4);
  const int64_t sourceSize = source->DataStream().Size();
  source->GoToRow(2);
  EXPECT_EQ(source->GetFieldValue("memo"), TVariant("ccccc"));
  EXPECT_EQ(source->DataStream().Size(), sourceSize);
}

// A shares its rows with B, B with C: a change of A must leave B and C
// with rows of their own, C's included, before A's stream changes.
TEST(Recordset, ASharerOfASharerKeepsItsRowsWhenTheOwnerChanges) {
  auto owner = ThreeRows();
  TquvRecordset middle;
  middle.CopyFrom(*owner, true, true);
  TquvRecordset last;
  last.CacheBlobs = true;
  last.CopyFrom(middle, true, true);
  owner->AppendValues(std::vector<TVariant>{"ddddd", 3});
  last.GoToRow(2);
  EXPECT_EQ(last.GetFieldValue("memo"), TVariant("ccccc"));
  owner.reset();
  middle.AppendValues(std::vector<TVariant>{"eeeee", 4});
  EXPECT_EQ(middle.RecordCount(), 4);
  EXPECT_EQ(last.RecordCount(), 3);
  last.GoToRow(0);
  EXPECT_EQ(last.GetFieldValue("memo"), TVariant("aaaaa"));
}

// A definition that cannot be found changes nothing, and asking for it
// again fails again.
TEST(Recordset, AFailedSetDefinitionLeavesTheRecordsetAsItWas) {
  auto recordset = ThreeRows();
  const auto setMissing = [&] { recordset->SetDefinition("host:nolib.orders.list"); };
  const std::string message = MessageOf(setMissing);
  EXPECT_NE(message.find("/nolib.quv"), std::string::npos) << message;
  EXPECT_EQ(MessageOf(setMissing), message);
  EXPECT_EQ(recordset->Name(), "teste");
  EXPECT_EQ(recordset->Prefix(), "");
  EXPECT_EQ(recordset->FieldCount(), 2);
  ASSERT_EQ(recordset->RecordCount(), 3);
  recordset->GoToRow(2);
  EXPECT_EQ(recordset->GetFieldValue("memo"), TVariant("ccccc"));
}

TEST(Recordset, NestedRecordsetRoundTrip) {
  auto defs = Defs({{"nome", 'A', 20, 0}, {"filhos", 'R', 0, 0}});
  defs->Item(1).Nested().AddSymbol("x").SetTypeCode('N');
  auto outer = std::make_unique<TquvRecordset>();
  outer->SetFieldDefs(std::move(defs));
  TquvRecordset inner;
  inner.SetFieldDefs(Defs({{"x", 'N', 4, 0}}, "filho"));
  inner.AppendValues(std::vector<TVariant>{41});
  inner.AppendValues(std::vector<TVariant>{42});
  outer->AppendValues(std::vector<TVariant>{"pai", TVariant::FromObject(&inner)});
  TMemoryStream saved(Saved(*outer, 0));
  TquvRecordset loaded;
  loaded.SetFieldDefs(Defs({{"nome", 'A', 20, 0}, {"filhos", 'R', 0, 0}}));
  loaded.MutableFieldDefs().Item(1).Nested().AddSymbol("x").SetTypeCode('N');
  loaded.LoadFromStream(saved, false);
  std::unique_ptr<TquvRecordset> nested = loaded.GetNestedRecordset("filhos");
  ASSERT_EQ(nested->RecordCount(), 2);
  nested->Last();
  EXPECT_EQ(nested->GetFieldValue("x"), TVariant(42));
  EXPECT_EQ(MessageOf([&] { loaded.GetNestedRecordset("nada"); }), "Field nada not found");
}

TEST(Recordset, OpenReadsRowsInPlaceAndIsReadOnly) {
  auto recordset = ThreeRows();
  TByteBuilder bytes;
  bytes.Append(Saved(*recordset, 0)).Raw("tail");
  TMemoryStream stream = bytes.Stream();
  TquvRecordset opened;
  opened.CacheBlobs = true;
  opened.SetFieldDefs(Defs({{"memo", 'A', 0, 0}, {"n", 'N', 4, 0}}));
  opened.Open(stream);
  EXPECT_EQ(stream.Remaining(), 4);
  opened.Last();
  EXPECT_EQ(opened.GetFieldValue("n"), TVariant(2));
  EXPECT_EQ(MessageOf([&] {
              opened.AppendValues(std::vector<TVariant>{"x", 1});
            }),
            "Can not write to a ReadOnly recordset");
}

TEST(Recordset, SaveToStringRoundTrip) {
  TquvRecordset fromString;
  fromString.CacheBlobs = true;
  fromString.SetFieldDefs(Defs({{"memo", 'A', 0, 0}, {"n", 'N', 4, 0}}));
  fromString.LoadFromString(ThreeRows()->SaveToString());
  ASSERT_EQ(fromString.RecordCount(), 3);
  fromString.Last();
  EXPECT_EQ(fromString.GetFieldValue("memo"), TVariant("ccccc"));
}

// Rows passed by file name: a receiver that closes the files must leave
// them to the sender, which may hand them out again.
TEST(Recordset, RowFilesLastUntilTheirLastHolderClosesThem) {
  auto sender = ThreeRows();
  const std::string dataFile = StreamFileName(sender->DataStream());
  for (int receiver = 0; receiver < 2; ++receiver) {
    TMemoryStream stream(Saved(*sender, kRsRowsInFiles | kRsWithDefinitions));
    TquvRecordset loaded;
    loaded.LoadFromStream(stream, true);
    EXPECT_EQ(loaded.RecordCount(), 3) << "receiver " << receiver;
  }
  {
    TMemoryStream stream(Saved(*sender, kRsRowsInFiles | kRsWithDefinitions));
    TquvRecordset outlasting;
    outlasting.CacheBlobs = true;
    outlasting.LoadFromStream(stream, true);
    sender.reset();
    outlasting.Last();
    EXPECT_EQ(outlasting.GetFieldValue("memo"), TVariant("ccccc"));
  }
  EXPECT_FALSE(std::filesystem::exists(dataFile));
}

TEST(Recordset, LoadReportsProgressByPhase) {
  auto recordset = ThreeRows();
  TMemoryStream stream(Saved(*recordset, kRsWithDefinitions));
  TquvRecordset loaded;
  std::vector<int32_t> percents;
  loaded.OnProgress = [&](TquvRecordset&, int32_t percent, bool&) { percents.push_back(percent); };
  loaded.LoadFromStream(stream, true);
  EXPECT_EQ(percents, (std::vector<int32_t>{20, 50, 90, 100}));
}

class TEvenRows final : public TquvRecordset {
 public:
  void AcceptRecord(bool& accept) override { accept = GetFieldValue("n").ToInteger() % 2 == 0; }
};

// The index that a filter saves must follow a row that PostRow moves or
// grows, whether the rows behind it move or the row goes to the end.
TEST(Recordset, RowsPostedUnderAFilterAreThereAsPostedAfterItsReset) {
  for (bool appendOnly : {false, true}) {
    TEvenRows recordset;
    recordset.CacheBlobs = true;
    recordset.AppendOnlyUpdates = appendOnly;
    recordset.CopyFrom(*ThreeRows(), false, true);
    recordset.FilterByRecord();
    ASSERT_EQ(recordset.RecordCount(), 2);
    recordset.First();
    recordset.SetFieldValue("memo", "a longer first row");
    recordset.PostRow();
    recordset.Last();
    recordset.SetFieldValue("memo", "c");
    recordset.PostRow();
    recordset.Filter("", true);
    ASSERT_EQ(recordset.RecordCount(), 3);
    const char* expected[] = {"a longer first row", "bbbbb", "c"};
    for (int32_t row = 0; row < 3; ++row) {
      recordset.GoToRow(row);
      EXPECT_EQ(recordset.GetFieldValue("memo"), TVariant(expected[row]))
          << "row " << row << (appendOnly ? ", append-only updates" : "");
    }
  }
}

// A row added while a filter hides the others is a row of the recordset:
// it is there after the reset and does not take the place of hidden rows.
TEST(Recordset, RowsAddedUnderAFilterAreThereAfterItsReset) {
  auto odd = Recordset({{"memo", 'A', 0, 0}, {"n", 'N', 4, 0}});
  odd->AppendValues(std::vector<TVariant>{"bbbbb", 1});
  TEvenRows recordset;
  recordset.CacheBlobs = true;
  recordset.CopyFrom(*odd, false, true);
  recordset.FilterByRecord();
  ASSERT_EQ(recordset.RecordCount(), 0);
  recordset.AppendValues(std::vector<TVariant>{"ddddd", 4});
  recordset.NewRow();
  recordset.SetFieldValue("memo", "eeeee");
  recordset.AppendRow();
  EXPECT_EQ(recordset.RecordCount(), 2);
  recordset.Filter("", true);
  ASSERT_EQ(recordset.RecordCount(), 3);
  const char* expected[] = {"bbbbb", "ddddd", "eeeee"};
  for (int32_t row = 0; row < 3; ++row) {
    recordset.GoToRow(row);
    EXPECT_EQ(recordset.GetFieldValue("memo"), TVariant(expected[row])) << "row " << row;
  }
}

TEST(Recordset, TakeOverMovesRowsAndLeavesTheSourceEmpty) {
  auto source = ThreeRows();
  source->Tags().SetTag("k", "v");
  TquvRecordset target;
  target.TakeOver(*source);
  EXPECT_EQ(target.RecordCount(), 3);
  EXPECT_EQ(target.Tags().Tag("k"), "v");
  EXPECT_EQ(source->RecordCount(), 0);
  EXPECT_EQ(source->FieldCount(), 0);
}

int CompareInt(const uint8_t* a, const uint8_t* b) { return int(*a) - int(*b); }

TEST(Recordset, CompareRowsPutsNullKeysFirst) {
  ThreadSortKeys() = {{1, CompareInt, -1}};
  TquvRecordset recordset;
  const uint8_t two[] = {0, 2}, five[] = {0, 5}, null[] = {1, 0};
  EXPECT_GT(recordset.CompareRows(two, five), 0);
  EXPECT_EQ(recordset.CompareRows(null, two), -1);
  EXPECT_EQ(recordset.CompareRows(null, null), 0);
  ThreadSortKeys().clear();
}

// ---- Hostile serialised input ----

std::string LoadMessage(const std::vector<uint8_t>& bytes) {
  TquvRecordset recordset;
  recordset.SetFieldDefs(Defs({{"memo", 'A', 0, 0}, {"n", 'N', 4, 0}}));
  return MessageOf([&] {
    TMemoryStream stream(bytes);
    recordset.LoadFromStream(stream, false);
    for (recordset.First(); !recordset.Eof(); recordset.Next()) {
      for (int32_t i = 0; i < recordset.FieldCount(); ++i) recordset.GetFieldValueByIndex(i);
    }
  });
}

std::vector<uint8_t> Serialised(const std::vector<uint8_t>& data,
                                const std::vector<uint8_t>& index) {
  TByteBuilder b;
  b.U8(1).U8(0).I32(4).I32(0).I32(int32_t(data.size())).Append(data);
  b.I32(int32_t(index.size())).Append(index);
  return b.Bytes();
}

TEST(RecordsetHostile, RowsThatDoNotHoldWhatTheyAnnounce) {
  const auto row = TByteBuilder().U8(4).Raw("\xFC\xFF\xFF\xFF").I32(1).Raw("x").I32(5).Bytes();
  ASSERT_EQ(LoadMessage(Serialised(row, TByteBuilder().I32(0).I32(14).Bytes())), "(no error)");
  EXPECT_EQ(LoadMessage(Serialised(row, TByteBuilder().I32(10).I32(14).Bytes())), EofMessage());
  EXPECT_EQ(LoadMessage(Serialised(row, TByteBuilder().I32(-1).I32(4).Bytes())), EofMessage());
  EXPECT_EQ(LoadMessage(Serialised(row, TByteBuilder().I32(0).I32(12).Bytes())), EofMessage());
  const auto bigBitmap = TByteBuilder().U8(200).Raw("\xFC\xFF").Bytes();
  EXPECT_EQ(LoadMessage(Serialised(bigBitmap, TByteBuilder().I32(0).I32(3).Bytes())), EofMessage());
  const auto hugeText = TByteBuilder().U8(4).Raw("\xFE\xFF\xFF\xFF").I32(0x7FFFFFF0).Bytes();
  EXPECT_EQ(LoadMessage(Serialised(hugeText, TByteBuilder().I32(0).I32(9).Bytes())), EofMessage());
}

TEST(RecordsetHostile, HeadersThatDoNotHoldWhatTheyAnnounce) {
  EXPECT_EQ(LoadMessage(TByteBuilder().U8(2).U8(0).Bytes()), "Unsupported recordset version");
  EXPECT_EQ(LoadMessage(TByteBuilder().U8(1).U8(0).I32(0x7FFFFFFF).Bytes()), EofMessage());
  EXPECT_EQ(LoadMessage(TByteBuilder().U8(1).U8(0).I32(0).I32(-5).Bytes()), EofMessage());
  EXPECT_EQ(LoadMessage(TByteBuilder().U8(1).U8(0).I32(0).I32(0).I32(1000000).Bytes()),
            EofMessage());
  EXPECT_EQ(LoadMessage(TByteBuilder().U8(1).U8(8).I32(0).U16(9).Raw("/etc/host").Bytes()),
            "Rows file outside the temporary folder: /etc/host");
  auto recordset = ThreeRows();
  for (uint8_t refused : {kRsRowsInFiles, kRsNoRows}) {
    EXPECT_EQ(MessageOf([&] { Saved(*recordset, kRsTotalLength | refused); }),
              "A recordset with rows in files or without rows has no total length");
  }
}

}  // namespace
}  // namespace quv
