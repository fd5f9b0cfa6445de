#include <gtest/gtest.h>

#include <cmath>

#include "platform/DateTime.h"
#include "server/common/quvIntf.h"
#include "server/common/quvstream.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

using testing::MessageOf;
using testing::TByteBuilder;
using TBytes = std::vector<uint8_t>;

// One field of the given type in a definition set of its own.
class TField {
 public:
  explicit TField(char code, uint16_t size = 0, uint8_t decimals = 0)
      : FField(FDefs.AddSymbol("f")) {
    FField.SetTypeCode(code);
    FField.SetSize(size);
    FField.SetDecimals(decimals);
  }
  operator const TquvSymbolDef&() const { return FField; }

 private:
  TquvCustomSymbolDefs FDefs;
  TquvSymbolDef& FField;
};

TBytes Encode(const TVariant& value, const TquvSymbolDef& field, bool withLength = false) {
  TMemoryStream out;
  VarToData(value, out, field, withLength);
  return out.Bytes();
}

TBytes Double(double value) {
  TMemoryStream out;
  out.WriteBuffer(&value, 8);
  return out.Bytes();
}

TRef<IInterface> StreamHolding(std::string_view text) {
  auto* stream = new TMemoryStream;
  stream->WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
  stream->SetPosition(0);
  return TRef<IInterface>(new TStreamInterface(*stream, true));
}

constexpr std::string_view kUnsupported = "Unsuported interface at quvStream.VarToData.";
constexpr std::string_view kNotText =
    "Error writing stream at quvStream.VarToData. Could not convert Variant to String or "
    "Interface";

TEST(VarToData, NumbersAndMoneyHaveTheirFixedWidths) {
  EXPECT_EQ(Encode(0x01020304, TField('N')), (TBytes{4, 3, 2, 1}));
  EXPECT_EQ(Encode("-2", TField('+')), TByteBuilder().I32(-2).Bytes());
  EXPECT_EQ(Encode(1.5, TField('N', 10, 2)), Double(1.5));
  EXPECT_EQ(Encode("2.25", TField('N', 10, 2)), Double(2.25));
  EXPECT_EQ(Encode(TVariant::FromCurrency(125000), TField('M')), Double(12.5));
  EXPECT_EQ(MessageOf([] { Encode("12a", TField('N')); }),
            "Could not convert variant \"12a\" (text) to integer");
  EXPECT_TRUE(Encode(1, TField('X')).empty());  // a type without a writer
}

TEST(VarToData, DatesCountDaysFromYearOne) {
  const double newYear = EncodeDateTime({2000, 1, 1});
  const int32_t day = 693594 + 36526;
  EXPECT_EQ(Encode(TVariant::FromDateTime(newYear), TField('D')),
            TByteBuilder().I32(day).I32(0).Bytes());
  EXPECT_EQ(Encode(TVariant::FromDateTime(newYear + 0.5), TField('T')),
            TByteBuilder().I32(0).I32(43200000).Bytes());
  const double moment = EncodeDateTime({2000, 1, 1, 6, 0, 0, 1});
  EXPECT_EQ(Encode(TVariant::FromDateTime(moment), TField('H')),
            Double(double(int64_t(day) * 86400000 + 21600001)));
  EXPECT_EQ(Encode("1899-12-30", TField('D')), TByteBuilder().I32(693594).I32(0).Bytes());
  // Before 1899-12-30 the fraction counts away from zero.
  EXPECT_EQ(Encode(TVariant::FromDateTime(-1.25), TField('T')),
            TByteBuilder().I32(0).I32(21600000).Bytes());
  EXPECT_EQ(MessageOf([] { Encode(1e9, TField('H')); }),
            "Could not convert variant 1000000000 (double) to date-time");
}

TEST(VarToData, BooleanWriterCases) {
  const TField boolean('B');
  const TBytes yes{0xFF, 0xFF}, no{0, 0};
  EXPECT_EQ(Encode("T", boolean), yes);
  EXPECT_EQ(Encode("t", boolean), no);
  EXPECT_EQ(Encode(256, boolean), no);
  EXPECT_EQ(Encode(1, boolean), yes);
  EXPECT_EQ(Encode(0.5, boolean), yes);
  EXPECT_EQ(Encode(StreamHolding("T"), boolean), yes);
  EXPECT_EQ(Encode(StreamHolding(""), boolean), no);  // nothing read: stays "F"
  EXPECT_EQ(MessageOf([&] { Encode(TRef<IInterface>(new TString("T")), boolean); }), kUnsupported);
}

class TValueObject final : public TquvValueObject {
 public:
  void WriteValue(TStream& dest, const TquvSymbolDef& field, bool withLength) override {
    const char marks[2] = {withLength ? 'L' : '-', field.TypeCode()};
    dest.WriteBuffer(marks, 2);
  }
};

TEST(VarToData, TextsStreamsAndObjects) {
  const TField fixed('A', 10), memo('A'), blob('I'), nested('R');
  EXPECT_EQ(Encode("abc", fixed, true), TByteBuilder().Text(4, "abc").Bytes());
  EXPECT_EQ(Encode("abc", fixed), TByteBuilder().Raw("abc").Bytes());
  EXPECT_EQ(Encode(12.5, fixed, true), TByteBuilder().Text(4, "12.5").Bytes());
  EXPECT_EQ(Encode(TVariant(), fixed, true), TByteBuilder().I32(0).Bytes());
  EXPECT_EQ(Encode("xyz", memo, true), TByteBuilder().Text(4, "xyz").Bytes());
  EXPECT_EQ(Encode(StreamHolding("bytes"), blob, true), TByteBuilder().Text(4, "bytes").Bytes());
  EXPECT_EQ(Encode(StreamHolding("bytes"), fixed), TByteBuilder().Raw("bytes").Bytes());

  TValueObject object;
  EXPECT_EQ(Encode(TVariant::FromObject(&object), nested, true), (TBytes{'L', 'R'}));
  EXPECT_EQ(Encode(TVariant::FromObject(&object), memo), (TBytes{'-', 'A'}));

  TObject plain;
  for (const TVariant& value : {TVariant(), TVariant::Null(), TVariant(1), TVariant(true),
                                TVariant::FromDateTime(1), TVariant::FromObject(&plain)}) {
    EXPECT_EQ(MessageOf([&] { Encode(value, blob); }), kNotText) << value.Describe();
  }
  EXPECT_EQ(MessageOf([&] { Encode(TRef<IInterface>(new TString("x")), memo); }), kUnsupported);
  EXPECT_EQ(MessageOf([&] { Encode(TRef<IInterface>(new TString("x")), fixed); }), kUnsupported);
}

TEST(DataToVar, ReadsBackWhatTheWritersWrite) {
  const double moment = EncodeDateTime({2024, 2, 29, 23, 59, 59, 999});
  const struct {
    TVariant Value;
    char Code;
    uint8_t Decimals;
  } cases[] = {
      {-7, 'N', 0},
      {2.75, '+', 3},
      {true, 'B', 0},
      {false, 'B', 0},
      {TVariant::FromDateTime(std::trunc(moment)), 'D', 0},
      {TVariant::FromDateTime(moment - std::trunc(moment)), 'T', 0},
      {TVariant::FromDateTime(moment), 'H', 0},
      {TVariant::FromDateTime(-1.25), 'H', 0},
      {TVariant::FromCurrency(-1234567), 'M', 0},
  };
  for (const auto& c : cases) {
    const TField field(c.Code, 0, c.Decimals);
    const TVariant back = DataToVar(Encode(c.Value, field), field);
    EXPECT_EQ(back.Describe(), c.Value.Describe()) << c.Code;
  }
  // The date drops the time and the time the date.
  EXPECT_EQ(DataToVar(Encode(TVariant::FromDateTime(moment), TField('D')), TField('D')).ToText(),
            "2024-02-29");
  EXPECT_EQ(DataToVar(Encode(TVariant::FromDateTime(moment), TField('T')), TField('T')).ToText(),
            "1899-12-30 23:59:59.999");
  // Any non-zero 16 bits are true; a money amount is rounded to 4 decimals.
  EXPECT_TRUE(DataToVar(TBytes{0x01, 0x00}, TField('B')).ToBoolean());
  EXPECT_EQ(DataToVar(Double(0.00004), TField('M')).ToCurrency(), 0);
  EXPECT_EQ(DataToVar(Double(0.00016), TField('M')).ToCurrency(), 2);
}

TEST(DataToVar, TextsEmptiesAndShortOrHostileBytes) {
  const TBytes padded{'a', 'b', 0, 'z', 'z'};
  EXPECT_EQ(DataToVar(padded, TField('A', 4)).Text(), "ab");
  EXPECT_EQ(DataToVar(TBytes{'a', 'b'}, TField('A', 4)).Text(), "ab");
  EXPECT_EQ(DataToVar(padded, TField('I')).Text(), std::string("ab\0zz", 5));
  EXPECT_TRUE(DataToVar(TBytes{}, TField('R')).IsEmpty());
  EXPECT_TRUE(DataToVar(padded, TField('X')).IsEmpty());

  EXPECT_EQ(MessageOf([] { DataToVar(TBytes{1, 2, 3}, TField('N')); }), "Stream read error");
  EXPECT_EQ(MessageOf([] { DataToVar(TBytes(7), TField('H')); }), "Stream read error");
  EXPECT_EQ(MessageOf([] { DataToVar(TBytes{0xFF}, TField('B')); }), "Stream read error");
  EXPECT_EQ(MessageOf([] { DataToVar(Double(1e300), TField('M')); }),
            "Could not convert variant 1e+300 (double) to currency");
  // An out-of-range count decodes without failing; it only refuses to be
  // written back.
  const TVariant far = DataToVar(Double(1e300), TField('H'));
  EXPECT_EQ(far.Kind(), TVarKind::DateTime);
  EXPECT_EQ(MessageOf([&] { Encode(far, TField('H')); }).rfind("Could not convert variant", 0), 0u);
}

TEST(CopyStreamsInterface, CopiesAllFromTheStartWithItsLengthAndFailsOnAShortSource) {
  std::string content(150000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  const TRef<IInterface> source = StreamHolding(content);
  const TRef<IStream> stream = Supports<IStream>(source.Get());
  stream->Seek(100, TSeekOrigin::Beginning);
  TMemoryStream out;
  EXPECT_EQ(CopyStreams(*stream, out, 0, true), 150000);
  EXPECT_EQ(out.Bytes(), TByteBuilder().Text(4, content).Bytes());

  // A given size copies that much from the position, without a length.
  stream->Seek(10, TSeekOrigin::Beginning);
  TMemoryStream part;
  EXPECT_EQ(CopyStreams(*stream, part, 5, false), 5);
  EXPECT_EQ(part.Bytes(), TByteBuilder().Raw(content.substr(10, 5)).Bytes());

  const TRef<IStream> empty = Supports<IStream>(StreamHolding("").Get());
  TMemoryStream nothing;
  EXPECT_EQ(CopyStreams(*empty, nothing, 0, true), 0);
  EXPECT_EQ(nothing.Bytes(), TByteBuilder().I32(0).Bytes());
  // A source that ends early fails.
  const TRef<IStream> early = Supports<IStream>(StreamHolding("only ten b").Get());
  TMemoryStream cut;
  EXPECT_EQ(MessageOf([&] { CopyStreams(*early, cut, 70000, true); }),
            "Erro lendo stream em \"CopyStreams\"");
  EXPECT_EQ(cut.Size(), 4 + 10);  // what arrived before the failure stays
}

}  // namespace
}  // namespace quv
