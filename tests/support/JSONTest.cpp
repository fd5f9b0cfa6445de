#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "platform/Cp1252.h"
#include "support/JSON.h"
#include "tests/kit/ByteBuilder.h"

namespace quv {
namespace {

// The message ParseJSON raises for `text`, or "(no error)" when it parses.
std::string ParseError(std::string_view text) {
  return testing::MessageOf<TJSONError>([&] { ParseJSON(text); });
}

// The text of the parsed document.
std::string Reparsed(std::string_view text) { return ParseJSON(text)->Text(); }

// The only element of a one-element list.
std::unique_ptr<TJSONarray> Single(std::string_view value) {
  auto list = ParseJSON("[" + std::string(value) + "]");
  EXPECT_EQ(list->Count(), 1);
  return list;
}

std::string TextOf(TJSONbase&& element) { return element.Text(); }

TEST(JSONParse, EmptyTextsGiveNothingAndScalarsAreNoDocument) {
  EXPECT_EQ(ParseJSON(""), nullptr);
  EXPECT_EQ(ParseJSON(" \t\r\n"), nullptr);
  EXPECT_EQ(ParseError("12"), "Unexpected character at position 0 - 12");
  EXPECT_EQ(ParseError("\"s\""), "Unexpected character at position 0 - \"s\"");
  EXPECT_EQ(ParseError("  true"), "Unexpected character at position 2 - true");
  EXPECT_EQ(ParseError("[1] x234567890123456789012345"),
            "Unexpected character at position 4 - x2345678901234567890");
  EXPECT_EQ(ParseError(std::string_view("[1]\0z", 5)), "Unexpected character at position 3 - ");
}

TEST(JSONParse, ListErrorsCarryTheirPositions) {
  EXPECT_EQ(ParseError("[1,]"), "Empty element at position 3");
  EXPECT_EQ(ParseError("[,1]"), "Empty element at position 1");
  EXPECT_EQ(ParseError("[1,,2]"), "Empty element at position 3");
  EXPECT_EQ(ParseError("[1"), "Missing closing bracket for array");
  EXPECT_EQ(ParseError("[tru]"), "Empty element at position 1");
  EXPECT_EQ(ParseError("[1, nul]"), "Empty element at position 4");
  EXPECT_EQ(ParseError("[1, x]"), "Unexpected character at position 4 - x]");
  // Commas between elements are optional.
  EXPECT_EQ(Reparsed("[1 2\t[]{}]"), "[1,2,[],{}]");
}

TEST(JSONParse, ObjectErrorsCarryTheirPositions) {
  EXPECT_EQ(ParseError("{\"a\":}"), "Missing property value at position 5");
  EXPECT_EQ(ParseError("{\"a\": ,}"), "Missing property value at position 6");
  EXPECT_EQ(ParseError("{ abc:1}"), "Unquoted property name at position 2");
  EXPECT_EQ(ParseError("{\"\":1}"), "Empty property name at position 2");
  EXPECT_EQ(ParseError("{\"a\" 1}"), "Missing property name/value delimiter (:) at position 5");
  EXPECT_EQ(ParseError("{\"a"), "Unterminated string at position 2");
  EXPECT_EQ(ParseError("{\"a\\\"}"), "Unterminated string at position 2");
  EXPECT_EQ(ParseError("{\"a\":1"), "Missing closing bracket for array");
  EXPECT_EQ(ParseError("{\"a\":"), "Unexpected character at position 5 - ");
  EXPECT_EQ(ParseError("[\"abc"), "Unterminated string at position 2");
  EXPECT_EQ(Reparsed("{\"a\":1 \"b\" : [ ] }"), "{\"a\":1,\"b\":[]}");
}

TEST(JSONParse, LiteralsIgnoreCase) {
  const auto list = ParseJSON("[TRUE,Null,fAlSe]");
  EXPECT_EQ(list->Item(0)->Kind(), TJSONKind::Boolean);
  EXPECT_EQ(list->Item(0)->Value(), TVariant(true));
  EXPECT_EQ(list->Item(1)->Kind(), TJSONKind::Null);
  EXPECT_TRUE(list->Item(1)->Value().IsNull());
  EXPECT_EQ(list->Item(2)->Value(), TVariant(false));
  EXPECT_EQ(list->Text(), "[true,null,false]");
}

TEST(JSONNumbers, IntegersStopShortOfTheLowestInt32) {
  const auto list = ParseJSON("[2147483647,-2147483647,-2147483648,1.5,1e3,007,-0,2147483648]");
  const std::vector<std::pair<TJSONKind, TVariant>> expected = {
      {TJSONKind::Integer, TVariant(2147483647)},  {TJSONKind::Integer, TVariant(-2147483647)},
      {TJSONKind::Float, TVariant(-2147483648.0)}, {TJSONKind::Float, TVariant(1.5)},
      {TJSONKind::Float, TVariant(1000.0)},        {TJSONKind::Integer, TVariant(7)},
      {TJSONKind::Integer, TVariant(0)},           {TJSONKind::Float, TVariant(2147483648.0)}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    TJSONbase* item = list->Item(static_cast<int32_t>(i));
    EXPECT_EQ(item->Kind(), expected[i].first);
    EXPECT_EQ(item->Value().Kind(), expected[i].second.Kind());
    EXPECT_EQ(item->Value(), expected[i].second);
  }
}

TEST(JSONNumbers, MalformedNumbersRaise) {
  EXPECT_EQ(ParseError("[ 1.]"),
            "Missing fractional part of a floating-point number at position 2");
  EXPECT_EQ(ParseError("[-1.e5]"),
            "Missing fractional part of a floating-point number at position 1");
  EXPECT_EQ(ParseError("[12e]"), "Exponent of the number is not integer at position 1");
  EXPECT_EQ(ParseError("[12E+]"), "Exponent of the number is not integer at position 1");
  EXPECT_EQ(ParseError("[+1]"), "Unexpected character at position 1 - +1]");
  // What the conversion rejects raises its own error.
  EXPECT_THROW(ParseJSON("[-]"), EVariantError);
  EXPECT_THROW(ParseJSON("[1e400]"), EVariantError);
  EXPECT_EQ(Single("1.5E-7")->Item(0)->Value(), TVariant(1.5e-7));
  EXPECT_EQ(Single("-0.25e+2")->Item(0)->Value(), TVariant(-25.0));
}

TEST(JSONNumbers, FloatsUseFifteenDigitsAndAShortExponent) {
  const std::vector<std::pair<double, std::string>> cases = {{1e20, "1E20"},
                                                             {1.5e-7, "1.5E-7"},
                                                             {0.0001, "0.0001"},
                                                             {1e-5, "1E-5"},
                                                             {1.0 / 3, "0.333333333333333"},
                                                             {-2.5, "-2.5"},
                                                             {1e15, "1E15"},
                                                             {123456789012345.0, "123456789012345"},
                                                             {-0.0, "0"},
                                                             {1.25e-300, "1.25E-300"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(TextOf(TJSONbase(value)), text) << text;
  // The largest double would round beyond itself with 15 digits.
  EXPECT_EQ(TextOf(TJSONbase(1.7976931348623157e308)), "1.7976931348623157E308");
  EXPECT_EQ(Reparsed("[1.7976931348623157e308]"), "[1.7976931348623157E308]");
  // Only the largest double and the three below it need more than 15 digits.
  double below = 1.7976931348623157e308;
  for (int step = 0; step < 3; ++step) below = std::nextafter(below, 0.0);
  EXPECT_EQ(TextOf(TJSONbase(below)), "1.7976931348623151E308");
  EXPECT_EQ(TextOf(TJSONbase(std::nextafter(below, 0.0))), "1.79769313486231E308");
  EXPECT_EQ(TextOf(TJSONbase(1.797693134862312e308)), "1.79769313486231E308");
  EXPECT_EQ(TextOf(TJSONbase(-1.797693134862312e308)), "-1.79769313486231E308");
  EXPECT_THROW(TextOf(TJSONbase(std::nan(""))), TJSONError);
  EXPECT_EQ(TextOf(TJSONbase(-2147483647 - 1)), "-2147483648");
}

TEST(JSONStrings, EscapesReadAndWriteBack) {
  const auto list = Single("\"\\u00e9\\/\"");
  EXPECT_EQ(list->Item(0)->Value().Text(), "é/"_cp);
  EXPECT_EQ(list->Item(0)->Text(), "\"\\u00E9\\/\"");
  EXPECT_EQ(Reparsed("[\"\\\"\\\\\\b\\f\\n\\r\\t\\ \\U20ac\"]"),
            "[\"\\\"\\\\\\b\\f\\n\\r\\t \\u20AC\"]");
  // Raw bytes are 8-bit characters: é as a byte, a control byte and DEL all come back escaped.
  EXPECT_EQ(Reparsed("[\"\xE9\x01\x7F\"]"), "[\"\\u00E9\\u0001\\u007F\"]");
  EXPECT_EQ(Single("\"\"")->Item(0)->Value().Text(), "");
}

TEST(JSONStrings, BadEscapesNameTheLetterAndTheRawString) {
  EXPECT_EQ(ParseError("[\"ab\\qc\"]"), "Unrecognized escape sequence at position 4 in \"ab\\qc\"");
  EXPECT_EQ(ParseError("[\"\\u12\"]"),
            "Invalid UNICODE escape sequence at position 2 in \"\\u12\"");
  EXPECT_EQ(ParseError("[\"x\\u12g4\"]"),
            "Invalid UNICODE escape sequence at position 3 in \"x\\u12g4\"");
  EXPECT_EQ(ParseError("{\"a\\k\":1}"), "Unrecognized escape sequence at position 3 in \"a\\k\"");
}

TEST(JSONStrings, TextsCrossTheCodePage) {
  TJSONbase element;
  element.SetValue(TVariant("Ação €"_cp));
  EXPECT_EQ(element.Kind(), TJSONKind::String);
  EXPECT_EQ(element.Text(), "\"A\\u00E7\\u00E3o \\u20AC\"");
  EXPECT_EQ(element.Value().Text(), "Ação €"_cp);
  // Names are Windows-1252 bytes: an escaped name is converted, a raw one kept.
  const auto object = ParseJSON("{\"c\\u00F3d\":1,\"n\xE3o\":2,\"\\u20AC\":3}");
  EXPECT_EQ(object->NameOf(0), "cód"_cp);
  EXPECT_EQ(object->NameOf(1), "não"_cp);
  EXPECT_EQ(object->Item("€"_cp)->Value(), TVariant(3));
  EXPECT_EQ(object->Text(), "{\"c\\u00F3d\":1,\"n\\u00E3o\":2,\"\\u20AC\":3}");
}

TEST(JSONWrite, DocumentsHaveNoWhitespace) {
  TJSONobject object;
  auto list = std::make_unique<TJSONlist>();
  list->Add(std::make_unique<TJSONbase>(1));
  list->Add(std::make_unique<TJSONbase>(u"x"));
  object.Add("k", std::move(list));
  EXPECT_EQ(object.Text(), "{\"k\":[1,\"x\"]}");
  EXPECT_EQ(Reparsed(" [ { \"a\" : [ true , null ] } , -1 ] "), "[{\"a\":[true,null]},-1]");
}

TEST(JSONWrite, LongTextsOutgrowTheFirstBuffer) {
  std::string text = "[";
  for (int i = 0; i < 30000; ++i) text += "\"\\u0001\",";
  text += "1]";
  const std::string written = Reparsed(text);
  EXPECT_EQ(written.size(), 30000u * 9 + 3);
  EXPECT_EQ(written, text);
}

TEST(JSONModel, ObjectsKeepRepeatedNamesAndFindTheLaterOne) {
  auto object = ParseJSON("{\"a\":1,\"b\":2,\"a\":3}");
  EXPECT_EQ(object->Count(), 3);
  EXPECT_EQ(object->NameOf(2), "a");
  EXPECT_EQ(object->Item("a")->Value(), TVariant(3));
  EXPECT_EQ(object->Item("A"), nullptr);
  object->SetItem("a", std::make_unique<TJSONbase>(u"z"));
  object->SetItem("c", nullptr);
  EXPECT_EQ(object->Text(), "{\"a\":1,\"b\":2,\"a\":\"z\",\"c\":null}");
  EXPECT_EQ(object->Item("c")->Owner(), object.get());
  auto* members = static_cast<TJSONobject*>(object.get());
  members->Add("b", std::make_unique<TJSONbase>(true));
  EXPECT_EQ(object->Item("b")->Value(), TVariant(true));
  object->Clear();
  EXPECT_EQ(object->Count(), 0);
  EXPECT_EQ(object->Item("a"), nullptr);
  EXPECT_EQ(object->Text(), "{}");
}

TEST(JSONModel, WrongUsesRaiseTheirMessages) {
  auto expectError = [](auto&& action, const char* message) {
    EXPECT_EQ(testing::MessageOf<TJSONError>(action), message);
  };
  TJSONbase scalar(1);
  auto list = ParseJSON("[1,2]");
  auto object = ParseJSON("{\"a\":1}");
  const char* noValue = "TJSONlist does not have a value by itself - it is an indexed array";
  const char* notArray = "TJSONbase is not an array and does not support indexes";
  const char* listNames = "TJSONlist use only Integer indexes - not String";
  const char* emptyName = "Associative arrays do not support empty index";
  expectError([&] { list->Value(); }, noValue);
  expectError([&] { object->SetValue(TVariant(1)); }, noValue);
  expectError([&] { scalar.Item(0); }, notArray);
  expectError([&] { scalar.Item("a"); }, notArray);
  expectError([&] { scalar.NameOf(0); }, notArray);
  expectError([&] { scalar.Count(); },
              "TJSONbase is not an array and does not have Count property");
  expectError([&] { list->SetItem(2, nullptr); }, "Index (2) is outside the array (2)");
  expectError([&] { object->NameOf(-1); }, "Index (-1) is outside the array (1)");
  expectError([&] { list->Item("a"); }, listNames);
  expectError([&] { list->SetItem("a", nullptr); }, listNames);
  expectError([&] { list->NameOf(0); }, listNames);
  expectError([&] { object->Item(""); }, emptyName);
  expectError([&] { object->SetItem("", nullptr); }, emptyName);
  expectError([&] { TJSONobject().Add("", nullptr); }, emptyName);
  EXPECT_EQ(ParseJSON("[]")->Item("a"), nullptr);
  EXPECT_EQ(list->Item(2), nullptr);
  EXPECT_EQ(list->Item(-1), nullptr);
  list->SetItem(1, std::make_unique<TJSONbase>(u"y"));
  EXPECT_EQ(list->Text(), "[1,\"y\"]");
}

TEST(JSONModel, SetValueTakesItsKindFromTheVariant) {
  TJSONbase element;
  EXPECT_EQ(element.Kind(), TJSONKind::Null);
  const std::vector<std::pair<TVariant, std::string>> cases = {
      {TVariant(true), "true"},        {TVariant(), "null"},
      {TVariant::Null(), "null"},      {TVariant(-5), "-5"},
      {TVariant(2.5), "2.5"},          {TVariant::FromCurrency(125000), "12.5"},
      {TVariant("a\"b"), "\"a\\\"b\""}};
  for (const auto& [value, text] : cases) {
    element.SetValue(value);
    EXPECT_EQ(element.Text(), text);
  }
  EXPECT_THROW(element.SetValue(TVariant::FromDateTime(1.0)), TJSONError);
  EXPECT_THROW(element.SetValue(TVariant::FromArray({})), TJSONError);
  TJSONbase other;
  EXPECT_EQ(testing::MessageOf<TJSONError>([&] { element.SetValue(TVariant::FromObject(&other)); }),
            "Only TJSONlist or TJSONobject object can be assigned to TJSONbase");
}

TEST(JSONModel, AContainerValueIsOwnedOnceAndNeverWritten) {
  auto root = ParseJSON("[0]");
  TJSONbase& slot = *root->Item(0);
  auto list = ParseJSON("[1]");
  slot.SetValue(TVariant::FromObject(list.get()));
  TJSONarray* held = list.release();
  EXPECT_EQ(slot.Kind(), TJSONKind::List);
  EXPECT_EQ(slot.Value().Object(), held);
  EXPECT_EQ(held->Owner(), &slot);
  EXPECT_THROW(slot.Text(), TJSONError);
  // A held container, or the tree's own root, would be owned twice.
  TJSONbase other;
  EXPECT_THROW(other.SetValue(TVariant::FromObject(held)), TJSONError);
  EXPECT_THROW(slot.SetValue(TVariant::FromObject(root.get())), TJSONError);
  slot.SetValue(TVariant(2));  // destroys the held list
  EXPECT_EQ(root->Text(), "[2]");
}

TEST(JSONModel, ParsedAndMadeElementsMix) {
  const std::string longText(40000, 'x');
  auto document = ParseJSON("{\"s\":\"abc\",\"l\":[1,\"" + longText + "\"],\"o\":{}}");
  document->Item("s")->SetValue(TVariant("d\xE9"));
  document->Item("l")->SetItem(0, std::make_unique<TJSONbase>(u"made"));
  static_cast<TJSONlist*>(document->Item("l"))->Add(std::make_unique<TJSONbase>(2.5));
  auto* members = static_cast<TJSONobject*>(document.get());
  members->Add("n\xE3o", std::make_unique<TJSONbase>(true));
  auto inner = ParseJSON("[\"i\"]");
  document->Item("o")->SetItem("k", std::make_unique<TJSONbase>());
  document->Item("o")->Item("k")->SetValue(TVariant::FromObject(inner.release()));
  EXPECT_EQ(document->Item("l")->Item(1)->Value().Text(), longText);
  document->Item("l")->SetItem(1, nullptr);
  document->Item("o")->Item("k")->SetValue(TVariant(1));  // destroys the held list
  EXPECT_EQ(document->Text(),
            "{\"s\":\"d\\u00E9\",\"l\":[\"made\",null,2.5],\"o\":{\"k\":1},\"n\\u00E3o\":true}");
  EXPECT_EQ(document->Item("n\xE3o")->Value(), TVariant(true));
}

TEST(JSONModel, VisitingNamesItemsAndStops) {
  auto object = ParseJSON("{\"a\":[10,20,30],\"b\":2}");
  std::vector<std::string> seen;
  const TJSONVisitor record = [&](const std::string& name, TJSONbase& element, void* data,
                                  bool& stop) {
    seen.push_back(name + "=" + element.Text());
    stop =
        data != nullptr && element.Kind() == TJSONKind::Integer && element.Value() == TVariant(20);
  };
  object->Visit(record, nullptr);
  object->Item("a")->Visit(record, &seen);
  TJSONbase(1).Visit(record, nullptr);
  EXPECT_THAT(seen, ::testing::ElementsAre("a=[10,20,30]", "b=2", "0=10", "1=20"));
}

TEST(JSONHostile, DeepNestingRaisesInsteadOfOverflowing) {
  const std::string deep(1000000, '[');
  EXPECT_EQ(ParseError(deep), "Nesting deeper than 1000 levels at position 1000");
  EXPECT_EQ(ParseError(std::string(1001, '{')), "Unquoted property name at position 1");
  std::string deepest = std::string(kMaxJSONDepth, '[') + std::string(kMaxJSONDepth, ']');
  EXPECT_EQ(Reparsed(deepest), deepest);
  std::string objects;
  for (int i = 0; i < 2000; ++i) objects += "{\"a\":";
  EXPECT_EQ(ParseError(objects), "Nesting deeper than 1000 levels at position 5000");
}

}  // namespace
}  // namespace quv
