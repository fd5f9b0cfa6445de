#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/Hash.h"

namespace quv {

// The kinds of token the scanner produces.
enum class TTokenKind : uint8_t {
  None = 0,
  BlockComment = 1,  // the inside of the comment, markers excluded
  End = 2,
  Symbol = 3,  // a character that starts nothing else, an unterminated string
  HexNumber = 4,
  Identifier = 5,
  Integer = 6,
  Keyword = 7,
  Float = 8,
  Operator = 9,  // one character of the operator set
  String = 10,   // the inside of the quotes
  Relational = 11,
  LineComment = 12,  // including its marker
};

inline constexpr uint16_t kNoKeyword = 65535;

// A token: Start and Len are byte offsets into the scanned text.
struct TToken {
  TTokenKind Kind = TTokenKind::None;
  uint16_t KeywordIndex = kNoKeyword;
  int32_t Start = 0;
  int32_t Len = 0;
};

// Everything the scanner needs to resume at a position. Line and Column
// count from 1 and give the position just after the last token.
struct TScannerBookmark {
  int32_t Offset = 0;
  bool EndOfText = false;
  bool SignAllowed = true;
  bool InComment = false;
  uint8_t State = 0;
  int32_t TokenStart = 0;
  int32_t Line = 1;
  int32_t Column = 1;
};

// Splits a text into tokens with a table-driven state machine: each state's
// handler looks at the current character and consumes it or names the next
// state; final states give the token kind. A "+" or "-" directly before a
// digit starts a signed number when the previous token allows a sign (after
// an operator, a comma, an opening parenthesis or a word operator).
// Borrows nothing: the text is copied. Not thread-safe.
class TCustomScanner {
 public:
  TCustomScanner();
  virtual ~TCustomScanner() = default;

  // The configuration; changes take effect at the next SetText.
  std::string LineCommentMarker = "//";
  std::string BlockCommentOpen = "{";
  std::string BlockCommentClose = "}";
  std::string HexPrefix = "$";
  std::string IdentifierTerminator = "#";
  std::string OperatorString = "+<>-*/\\><=andornot";
  bool DigitsInIdentifiers = true;
  std::vector<std::string> Keywords;

  // The identifier-start set becomes the letters plus `chars`.
  void SetIdentifierStartChars(std::string_view chars);
  // The operator set becomes exactly `chars`.
  void SetOperatorChars(std::string_view chars);

  void SetText(std::string text);
  const std::string& Text() const { return FText; }
  // False at the end of the text, where `token` has the kind End. Raises
  // Exception "Inconsistent Parse" for a token that would end past the text.
  bool NextToken(TToken& token);

  TScannerBookmark GetBookmark() const;
  void GotoBookmark(const TScannerBookmark& bookmark);

  virtual void Reset();
  virtual bool TokenIs(const TToken& token, std::string_view text) const;
  virtual bool TokenStartsWith(const TToken& token, std::string_view text, int32_t count) const;
  virtual std::string TokenText(const TToken& token) const;
  std::string_view TokenView(const TToken& token) const;

 private:
  enum TState : uint8_t {
    sStart,
    sIdentifier,
    sNumber,
    sFraction,
    sZero,
    sHexPrefix,
    sHex,
    sSingleQuoted,
    sDoubleQuoted,
    sLineComment,
    sBlockComment,
    sRelational,
    sFinal,
    kStateCount = sFinal
  };
  using THandler = void (TCustomScanner::*)(char c);
  static const std::array<THandler, kStateCount> kHandlers;

  char At(int32_t offset) const { return offset < FEnd ? FText[std::size_t(offset)] : '\0'; }
  bool StartsWithAt(int32_t offset, std::string_view marker) const;
  void Consume() { ++FOffset; }
  void Finish(TTokenKind kind);
  void Advance(int32_t from, int32_t to);
  bool IsIdentifierStart(char c) const { return FIdentStart[uint8_t(c)]; }
  bool IsOperatorChar(char c) const { return FOperators[uint8_t(c)]; }
  bool AllowsSign(const TToken& token) const;
  void RebuildKeywords();

  void OnStart(char c);
  void OnStartOther(char c);
  void OnIdentifier(char c);
  void OnNumber(char c);
  void OnFraction(char c);
  void OnZero(char c);
  void OnHexPrefix(char c);
  void OnHex(char c);
  void OnSingleQuoted(char c);
  void OnDoubleQuoted(char c);
  void OnLineComment(char c);
  void OnBlockComment(char c);
  void OnRelational(char c);

  std::string FText;
  int32_t FOffset = 0;
  int32_t FEnd = 0;
  bool FEndOfText = false;
  int32_t FCommentDepth = 0;
  bool FInComment = false;
  bool FSignAllowed = true;
  uint8_t FState = sStart;
  int32_t FTokenStart = 0;
  TTokenKind FFinalKind = TTokenKind::None;
  int32_t FLine = 1;
  int32_t FColumn = 1;
  char FHexChar = '$';
  char FTerminator = '#';
  bool FHasTerminator = true;
  std::bitset<256> FIdentStart;
  std::bitset<256> FOperators;
  std::unique_ptr<THashList> FKeywordTable;
  std::vector<std::string> FKeywordsBuilt;
};

// The scanner the expression parser uses; it behaves as TCustomScanner.
class TSequentialScanner final : public TCustomScanner {};

}  // namespace quv
