#include <gtest/gtest.h>

#include <limits>

#include "platform/DateTime.h"
#include "support/Variant.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

template <class F>
std::string MessageOf(F&& f) {
  return testing::MessageOf<EVariantError>(f);
}

class TProbe final : public TInterfacedObject {};

TEST(Variant, KindsTagsAndCheapCopies) {
  EXPECT_EQ(TVariant().Tag(), 0x0000);
  EXPECT_EQ(TVariant::Null().Tag(), 0x0001);
  EXPECT_EQ(TVariant(7).Kind(), TVarKind::Integer);
  EXPECT_EQ(TVariant(7.0).Kind(), TVarKind::Double);
  EXPECT_EQ(TVariant("x").Kind(), TVarKind::Text);
  EXPECT_EQ(TVariant(true).Tag(), 0x000B);
  EXPECT_EQ(TVariant::FromCurrency(1).Tag(), 0x0006);
  EXPECT_EQ(TVariant::FromDateTime(1).Tag(), 0x0007);
  TObject object;
  EXPECT_EQ(TVariant::FromObject(&object).Tag(), 0x4000);
  EXPECT_EQ(TVariant::FromObject(&object).Object(), &object);

  const TVariant array = TVariant::FromArray({1, "two", TVariant::Null()});
  const TVariant copy = array;
  EXPECT_EQ(&copy.Items(), &array.Items());  // shared, not copied
  EXPECT_EQ(copy.Items()[1].Text(), "two");
  EXPECT_EQ(MessageOf([] { TVariant(1).Items(); }),
            "Could not convert variant 1 (integer) to array");

  auto* probe = new TProbe;
  const TRef<IInterface> ref(probe);
  {
    const TVariant held(ref);
    const TVariant again = held;
    EXPECT_EQ(probe->RefCount(), 3);
    EXPECT_EQ(again.Interface(), ref.Get());
  }
  EXPECT_EQ(probe->RefCount(), 1);
}

TEST(Variant, NumbersConvertByRoundingToEven) {
  EXPECT_EQ(TVariant(2.5).ToInteger(), 2);
  EXPECT_EQ(TVariant(3.5).ToInteger(), 4);
  EXPECT_EQ(TVariant(-2.5).ToInteger(), -2);
  EXPECT_EQ(TVariant::FromCurrency(25000).ToInteger(), 2);
  EXPECT_EQ(TVariant::FromCurrency(-35000).ToInteger(), -4);
  EXPECT_EQ(TVariant::FromCurrency(-12345).ToDouble(), -1.2345);
  EXPECT_EQ(TVariant(1.23456).ToCurrency(), 12346);
  EXPECT_EQ(TVariant(3).ToCurrency(), 30000);
  EXPECT_EQ(TVariant(true).ToInteger(), -1);
  EXPECT_EQ(TVariant().ToInteger(), 0);
  EXPECT_TRUE(TVariant(0.1).ToBoolean());
  EXPECT_FALSE(TVariant::FromCurrency(0).ToBoolean());
  EXPECT_EQ(MessageOf([] { TVariant(3e9).ToInteger(); }),
            "Could not convert variant 3000000000 (double) to integer");
  EXPECT_EQ(MessageOf([] { TVariant(1e300).ToCurrency(); }),
            "Could not convert variant 1e+300 (double) to currency");
  EXPECT_EQ(MessageOf([] { TVariant(std::numeric_limits<double>::quiet_NaN()).ToInteger(); }),
            "Could not convert variant nan (double) to integer");
  EXPECT_EQ(MessageOf([] { TVariant::Null().ToInteger(); }),
            "Could not convert variant (null) to integer");
  EXPECT_EQ(TVariant::Null().ToText(), "");
}

TEST(Variant, TextsParseStrictlyAndNameTheValueOnFailure) {
  EXPECT_EQ(TVariant(" -17").ToInteger(), -17);
  EXPECT_EQ(TVariant("4.6e1").ToDouble(), 46.0);
  EXPECT_EQ(TVariant("12.3456").ToCurrency(), 123456);
  EXPECT_TRUE(TVariant("TRUE").ToBoolean());
  EXPECT_FALSE(TVariant("false").ToBoolean());
  EXPECT_TRUE(TVariant("-1").ToBoolean());
  EXPECT_EQ(MessageOf([] { TVariant("1.5").ToInteger(); }),
            "Could not convert variant \"1.5\" (text) to integer");
  EXPECT_EQ(MessageOf([] { TVariant("1,5").ToDouble(); }),
            "Could not convert variant \"1,5\" (text) to double");
  EXPECT_EQ(MessageOf([] { TVariant("abc").ToCurrency(); }),
            "Could not convert variant \"abc\" (text) to currency");
  EXPECT_EQ(MessageOf([] { TVariant("yes").ToBoolean(); }),
            "Could not convert variant \"yes\" (text) to Boolean");
  EXPECT_EQ(MessageOf([] { TVariant(TRef<IInterface>(new TProbe)).ToText(); }),
            "Could not convert variant (interface) to text");
}

TEST(Variant, NumbersAndDatesAsText) {
  EXPECT_EQ(TVariant(-42).ToText(), "-42");
  EXPECT_EQ(TVariant(0.1 + 0.2).ToText(), "0.3");
  EXPECT_EQ(TVariant(1e20).ToText(), "1e+20");
  EXPECT_EQ(TVariant(2.5).ToText(), "2.5");
  EXPECT_EQ(TVariant::FromCurrency(125000).ToText(), "12.5");
  EXPECT_EQ(TVariant::FromCurrency(-5).ToText(), "-0.0005");
  EXPECT_EQ(TVariant::FromCurrency(std::numeric_limits<int64_t>::min()).ToText(),
            "-922337203685477.5808");
  EXPECT_EQ(TVariant(false).ToText(), "False");

  const double date = EncodeDateTime({2000, 1, 1});
  const double moment = EncodeDateTime({2000, 1, 1, 13, 45, 10, 250});
  EXPECT_EQ(TVariant::FromDateTime(date).ToText(), "2000-01-01");
  EXPECT_EQ(TVariant::FromDateTime(moment).ToText(), "2000-01-01 13:45:10.250");
  EXPECT_DOUBLE_EQ(TVariant("2000-01-01 13:45:10.250").ToDateTime(), moment);
  EXPECT_DOUBLE_EQ(TVariant("2000-01-01T13:45:10.25").ToDateTime(), moment);
  EXPECT_DOUBLE_EQ(TVariant("12:00").ToDateTime(), 0.5);
  EXPECT_DOUBLE_EQ(TVariant("36526.5").ToDateTime(), 36526.5);
  for (const char* bad : {"2001-02-29", "2000-13-01", "2000-01-01 24:00", "12:60", "2000-1"}) {
    EXPECT_EQ(MessageOf([&] { TVariant(bad).ToDateTime(); }),
              "Could not convert variant \"" + std::string(bad) + "\" (text) to date-time");
  }
  EXPECT_EQ(MessageOf([] { TVariant(1e7).ToDateTime(); }),
            "Could not convert variant 10000000 (double) to date-time");
}

TEST(Variant, ComparisonOrdersTextsNumbersAndNulls) {
  EXPECT_EQ(VarCompare("T", "t"), TVarRelation::Less);        // bytes, so case matters
  EXPECT_EQ(VarCompare("\xE9", "z"), TVarRelation::Greater);  // unsigned bytes
  EXPECT_EQ(VarCompare("10", 9), TVarRelation::Greater);      // a number in a text
  EXPECT_EQ(VarCompare("abc", 1), TVarRelation::Greater);     // texts otherwise
  EXPECT_EQ(VarCompare(TVariant(), TVariant::Null()), TVarRelation::Less);
  EXPECT_EQ(VarCompare(TVariant::Null(), -1e300), TVarRelation::Less);
  EXPECT_EQ(VarCompare(false, true), TVarRelation::Less);
  EXPECT_EQ(VarCompare(TVariant::FromCurrency(30000), 3), TVarRelation::Equal);
  EXPECT_EQ(VarCompare(TVariant::FromCurrency(30001), 3), TVarRelation::Greater);
  EXPECT_EQ(VarCompare(2.5, TVariant::FromDateTime(3)), TVarRelation::Less);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(TVariant(nan) == TVariant(1));
  EXPECT_TRUE(TVariant(nan) == TVariant(nan));
  EXPECT_EQ(VarCompare(nan, -1e300), TVarRelation::Less);
  EXPECT_TRUE(TVariant("1") == TVariant(1.0));
  EXPECT_FALSE(TVariant("a") == TVariant("A"));

  TRef<IInterface> probe(new TProbe);
  EXPECT_TRUE(TVariant(probe) == TVariant(probe));
  EXPECT_FALSE(TVariant(probe) == TVariant(TRef<IInterface>(new TProbe)));
  EXPECT_FALSE(TVariant(probe) == TVariant(0));
  EXPECT_EQ(MessageOf([&] { VarCompare(TVariant(probe), 1); }),
            "Could not compare variant (interface) with 1 (integer)");
  EXPECT_TRUE(TVariant::FromArray({1, "a"}) == TVariant::FromArray({1.0, "a"}));
  EXPECT_FALSE(TVariant::FromArray({1}) == TVariant::FromArray({1, 2}));
}

TEST(Variant, ArithmeticKeepsKindsAndPropagatesNull) {
  const TVariant sum = VarAdd(1, 2);
  EXPECT_EQ(sum.Kind(), TVarKind::Integer);
  EXPECT_EQ(sum.ToInteger(), 3);
  const TVariant big = VarAdd(std::numeric_limits<int32_t>::max(), 1);
  EXPECT_EQ(big.Kind(), TVarKind::Double);
  EXPECT_EQ(big.ToDouble(), 2147483648.0);
  EXPECT_EQ(VarAdd("a", "b").Text(), "ab");
  EXPECT_EQ(VarAdd(TVariant(), "b").Text(), "b");
  EXPECT_EQ(VarAdd("2", 3).ToInteger(), 5);
  EXPECT_EQ(VarAdd(TVariant(), 4).ToInteger(), 4);
  EXPECT_EQ(MessageOf([] { VarAdd("x", 1); }), "Could not convert variant \"x\" (text) to double");
  EXPECT_TRUE(VarAdd(TVariant::Null(), 1).IsNull());
  EXPECT_TRUE(VarMultiply(2, TVariant::Null()).IsNull());

  const TVariant money = VarMultiply(TVariant::FromCurrency(15000), TVariant::FromCurrency(25000));
  EXPECT_EQ(money.Kind(), TVarKind::Currency);
  EXPECT_EQ(money.ToCurrency(), 37500);  // 1.5 × 2.5
  EXPECT_EQ(VarSubtract(TVariant::FromCurrency(10000), 3).ToCurrency(), -20000);
  EXPECT_EQ(VarAdd(TVariant::FromCurrency(1), 0.5).Kind(), TVarKind::Double);

  const TVariant later = VarAdd(TVariant::FromDateTime(100.25), 2);
  EXPECT_EQ(later.Kind(), TVarKind::DateTime);
  EXPECT_EQ(later.ToDouble(), 102.25);
  const TVariant span = VarSubtract(later, TVariant::FromDateTime(100));
  EXPECT_EQ(span.Kind(), TVarKind::Double);
  EXPECT_EQ(span.ToDouble(), 2.25);

  EXPECT_EQ(VarDivide(7, 2).ToDouble(), 3.5);
  EXPECT_EQ(VarIntDivide(7, 2).ToInteger(), 3);
  EXPECT_EQ(VarIntDivide(-7, 2).ToInteger(), -3);
  EXPECT_EQ(VarIntDivide(std::numeric_limits<int32_t>::min(), -1).ToDouble(), 2147483648.0);
  EXPECT_EQ(MessageOf([] { VarDivide(1, 0.0); }), "Division by zero of variant 1 (integer)");
  EXPECT_EQ(MessageOf([] { VarIntDivide(5, "0"); }), "Division by zero of variant 5 (integer)");
  EXPECT_TRUE(VarDivide(TVariant::Null(), 0).IsNull());
}

TEST(Variant, LogicalForBooleansBitwiseForIntegers) {
  EXPECT_EQ(VarAnd(true, false).Kind(), TVarKind::Boolean);
  EXPECT_FALSE(VarAnd(true, false).ToBoolean());
  EXPECT_TRUE(VarOr("false", true).ToBoolean());
  EXPECT_EQ(VarAnd(12, 10).ToInteger(), 8);
  EXPECT_EQ(VarOr(12, 3).ToInteger(), 15);
  EXPECT_EQ(VarAnd(true, 6).ToInteger(), 6);  // true is -1
  EXPECT_TRUE(VarOr(TVariant::Null(), true).IsNull());
  EXPECT_FALSE(VarNot(true).ToBoolean());
  EXPECT_EQ(VarNot(0).ToInteger(), -1);
  EXPECT_TRUE(VarNot(TVariant::Null()).IsNull());
}

}  // namespace
}  // namespace quv
