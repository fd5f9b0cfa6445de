#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "expr/ExprScanner.h"
#include "platform/Exception.h"

namespace quv {
namespace {

using TTokens = std::vector<std::pair<TTokenKind, std::string>>;

TTokens Scan(TCustomScanner& scanner, std::string text) {
  scanner.SetText(std::move(text));
  TTokens tokens;
  TToken token;
  while (scanner.NextToken(token)) tokens.emplace_back(token.Kind, scanner.TokenText(token));
  EXPECT_EQ(token.Kind, TTokenKind::End);
  return tokens;
}

TTokens Scan(std::string text) {
  TSequentialScanner scanner;
  return Scan(scanner, std::move(text));
}

TEST(ExprScanner, NamesRelationsAndNumbers) {
  EXPECT_EQ(Scan("a1 >= 3.5"), (TTokens{{TTokenKind::Identifier, "a1"},
                                        {TTokenKind::Relational, ">="},
                                        {TTokenKind::Float, "3.5"}}));
  EXPECT_EQ(Scan("a<>b<c||d|e"), (TTokens{{TTokenKind::Identifier, "a"},
                                          {TTokenKind::Relational, "<>"},
                                          {TTokenKind::Identifier, "b"},
                                          {TTokenKind::Relational, "<"},
                                          {TTokenKind::Identifier, "c"},
                                          {TTokenKind::Relational, "||"},
                                          {TTokenKind::Identifier, "d"},
                                          {TTokenKind::Relational, "|"},
                                          {TTokenKind::Identifier, "e"}}));
  // A name ends before the terminator; "1." without digits is an integer.
  EXPECT_EQ(Scan("ab#c 1.x"), (TTokens{{TTokenKind::Identifier, "ab"},
                                       {TTokenKind::Symbol, "#"},
                                       {TTokenKind::Identifier, "c"},
                                       {TTokenKind::Integer, "1"},
                                       {TTokenKind::Symbol, "."},
                                       {TTokenKind::Identifier, "x"}}));
}

TEST(ExprScanner, SignsFollowOperatorsOnly) {
  EXPECT_EQ(Scan("x-1"), (TTokens{{TTokenKind::Identifier, "x"},
                                  {TTokenKind::Symbol, "-"},
                                  {TTokenKind::Integer, "1"}}));
  EXPECT_EQ(Scan("(-1"), (TTokens{{TTokenKind::Symbol, "("}, {TTokenKind::Integer, "-1"}}));
  EXPECT_EQ(Scan("-2 * +3"), (TTokens{{TTokenKind::Integer, "-2"},
                                      {TTokenKind::Symbol, "*"},
                                      {TTokenKind::Integer, "+3"}}));
  // Names that are parts of the word operators ("a", "n", "do") are plain
  // names: the sign after them is an operator.
  EXPECT_EQ(Scan("a-1"), (TTokens{{TTokenKind::Identifier, "a"},
                                  {TTokenKind::Symbol, "-"},
                                  {TTokenKind::Integer, "1"}}));
  EXPECT_EQ(Scan("not -1"),
            (TTokens{{TTokenKind::Identifier, "not"}, {TTokenKind::Integer, "-1"}}));
  EXPECT_EQ(
      Scan("3-1"),
      (TTokens{{TTokenKind::Integer, "3"}, {TTokenKind::Symbol, "-"}, {TTokenKind::Integer, "1"}}));
}

TEST(ExprScanner, StringsAndComments) {
  EXPECT_EQ(Scan("'abc"), (TTokens{{TTokenKind::Symbol, "'abc"}}));
  EXPECT_EQ(
      Scan("'a'\"b\nc\"''"),
      (TTokens{{TTokenKind::String, "a"}, {TTokenKind::String, "b\nc"}, {TTokenKind::String, ""}}));
  EXPECT_EQ(Scan("'a\nb'"), (TTokens{{TTokenKind::Symbol, "'a"},
                                     {TTokenKind::Identifier, "b"},
                                     {TTokenKind::Symbol, "'"}}));
  EXPECT_EQ(Scan("{ a { b } c } d"),
            (TTokens{{TTokenKind::BlockComment, " a { b } c "}, {TTokenKind::Identifier, "d"}}));
  EXPECT_EQ(Scan("a // rest\nb"), (TTokens{{TTokenKind::Identifier, "a"},
                                           {TTokenKind::LineComment, "// rest\n"},
                                           {TTokenKind::Identifier, "b"}}));
  // An unterminated comment is a symbol, never a loop or a read past the end.
  EXPECT_EQ(Scan("a { b"), (TTokens{{TTokenKind::Identifier, "a"}, {TTokenKind::Symbol, "{ b"}}));
}

TEST(ExprScanner, HexadecimalNumbers) {
  EXPECT_EQ(Scan("0x1F $1f 0 07"), (TTokens{{TTokenKind::HexNumber, "0x1F"},
                                            {TTokenKind::HexNumber, "$1f"},
                                            {TTokenKind::Integer, "0"},
                                            {TTokenKind::Integer, "07"}}));
  EXPECT_EQ(Scan("$g"), (TTokens{{TTokenKind::Symbol, "$g"}}));
  TSequentialScanner scanner;
  scanner.SetText("$");
  TToken token;
  try {
    scanner.NextToken(token);
    FAIL() << "a prefix at the end of the text";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Inconsistent Parse");
  }
  // With the prefix in the operator set a lone prefix is an operator.
  scanner.SetOperatorChars("$");
  EXPECT_EQ(Scan(scanner, "$ $1"), (TTokens{{TTokenKind::Operator, "$"},
                                            {TTokenKind::Operator, "$"},
                                            {TTokenKind::Integer, "1"}}));
}

TEST(ExprScanner, KeywordsOperatorsAndBookmarks) {
  TSequentialScanner scanner;
  scanner.Keywords = {"begin", "END"};
  scanner.SetOperatorChars("=(");
  scanner.SetIdentifierStartChars("_");
  scanner.SetText("Begin _x=(end");
  TToken token;
  ASSERT_TRUE(scanner.NextToken(token));
  EXPECT_EQ(token.Kind, TTokenKind::Keyword);
  EXPECT_EQ(token.KeywordIndex, 0);
  const TScannerBookmark mark = scanner.GetBookmark();
  ASSERT_TRUE(scanner.NextToken(token));
  EXPECT_EQ(scanner.TokenText(token), "_x");
  EXPECT_TRUE(scanner.TokenIs(token, "_X"));
  EXPECT_TRUE(scanner.TokenStartsWith(token, "_Xyz", 2));
  EXPECT_FALSE(scanner.TokenStartsWith(token, "_Xyz", 3));
  scanner.GotoBookmark(mark);
  ASSERT_TRUE(scanner.NextToken(token));
  EXPECT_EQ(token.Start, 6);
  EXPECT_EQ(token.Len, 2);
  ASSERT_TRUE(scanner.NextToken(token));
  EXPECT_EQ(token.Kind, TTokenKind::Operator);
  ASSERT_TRUE(scanner.NextToken(token));
  ASSERT_TRUE(scanner.NextToken(token));
  EXPECT_EQ(token.Kind, TTokenKind::Keyword);
  EXPECT_EQ(token.KeywordIndex, 1);
  EXPECT_FALSE(scanner.NextToken(token));
  EXPECT_FALSE(scanner.NextToken(token));
}

TEST(ExprScanner, LinesAndColumnsFollowTheTokens) {
  TSequentialScanner scanner;
  scanner.SetText("a\n  bc");
  TToken token;
  scanner.NextToken(token);
  scanner.NextToken(token);
  EXPECT_EQ(scanner.GetBookmark().Line, 2);
  EXPECT_EQ(scanner.GetBookmark().Column, 5);
}

}  // namespace
}  // namespace quv
