#include "expr/ExprScanner.h"

#include <algorithm>

#include "platform/Exception.h"

namespace quv {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiUpperChar(x) == AsciiUpperChar(y);
         });
}

// The words of the operator string; a name that is one of them is an
// operator and may be followed by a signed number.
constexpr std::string_view kWordOperators[] = {"and", "or", "not"};

}  // namespace

const std::array<TCustomScanner::THandler, TCustomScanner::kStateCount> TCustomScanner::kHandlers =
    {&TCustomScanner::OnStart,        &TCustomScanner::OnIdentifier,
     &TCustomScanner::OnNumber,       &TCustomScanner::OnFraction,
     &TCustomScanner::OnZero,         &TCustomScanner::OnHexPrefix,
     &TCustomScanner::OnHex,          &TCustomScanner::OnSingleQuoted,
     &TCustomScanner::OnDoubleQuoted, &TCustomScanner::OnLineComment,
     &TCustomScanner::OnBlockComment, &TCustomScanner::OnRelational};

TCustomScanner::TCustomScanner() { SetIdentifierStartChars(""); }

void TCustomScanner::SetIdentifierStartChars(std::string_view chars) {
  FIdentStart.reset();
  for (char c = 'A'; c <= 'Z'; ++c) FIdentStart.set(uint8_t(c));
  for (char c = 'a'; c <= 'z'; ++c) FIdentStart.set(uint8_t(c));
  for (char c : chars) FIdentStart.set(uint8_t(c));
}

void TCustomScanner::SetOperatorChars(std::string_view chars) {
  FOperators.reset();
  for (char c : chars) FOperators.set(uint8_t(c));
}

void TCustomScanner::RebuildKeywords() {
  if (Keywords == FKeywordsBuilt && (FKeywordTable || Keywords.empty())) return;
  FKeywordTable.reset();
  FKeywordsBuilt = Keywords;
  if (Keywords.empty()) return;
  FKeywordTable = std::make_unique<THashList>(
      HashCapacityFor(int32_t(Keywords.size())),
      THashListMode{true, THashOwnership::NotOwned, THashDuplicates::Ignore});
  for (std::size_t i = 0; i < Keywords.size() && i < kNoKeyword; ++i) {
    FKeywordTable->Add(Keywords[i], THashValue::FromInt(intptr_t(i)));
  }
}

void TCustomScanner::SetText(std::string text) {
  RebuildKeywords();
  FHexChar = HexPrefix.empty() ? '$' : HexPrefix[0];
  FHasTerminator = !IdentifierTerminator.empty();
  FTerminator = FHasTerminator ? IdentifierTerminator[0] : '\0';
  FText = std::move(text);
  FEnd = static_cast<int32_t>(FText.size());
  FSignAllowed = true;
  FLine = 1;
  FColumn = 1;
  Reset();
}

void TCustomScanner::Reset() {
  FOffset = 0;
  FEndOfText = false;
  FCommentDepth = 0;
  FInComment = false;
}

TScannerBookmark TCustomScanner::GetBookmark() const {
  return {FOffset, FEndOfText, FSignAllowed, FInComment, FState, FTokenStart, FLine, FColumn};
}

void TCustomScanner::GotoBookmark(const TScannerBookmark& bookmark) {
  FOffset = bookmark.Offset;
  FEndOfText = bookmark.EndOfText;
  FSignAllowed = bookmark.SignAllowed;
  FInComment = bookmark.InComment;
  FState = bookmark.State;
  FTokenStart = bookmark.TokenStart;
  FLine = bookmark.Line;
  FColumn = bookmark.Column;
}

bool TCustomScanner::StartsWithAt(int32_t offset, std::string_view marker) const {
  return !marker.empty() && offset <= FEnd &&
         std::string_view(FText).substr(std::size_t(offset)).starts_with(marker);
}

void TCustomScanner::Finish(TTokenKind kind) {
  FFinalKind = kind;
  FState = sFinal;
}

void TCustomScanner::Advance(int32_t from, int32_t to) {
  for (int32_t i = from; i < to && i < FEnd; ++i) {
    if (FText[std::size_t(i)] == '\n') {
      ++FLine;
      FColumn = 1;
    } else {
      ++FColumn;
    }
  }
}

bool TCustomScanner::AllowsSign(const TToken& token) const {
  switch (token.Kind) {
    case TTokenKind::Keyword:
      return true;
    case TTokenKind::BlockComment:
    case TTokenKind::Integer:
    case TTokenKind::Float:
    case TTokenKind::String:
    case TTokenKind::LineComment:
    case TTokenKind::End:
      return false;
    case TTokenKind::Identifier:
      return std::ranges::any_of(kWordOperators,
                                 [&](std::string_view w) { return SameText(TokenView(token), w); });
    default:
      break;
  }
  const std::string_view text = TokenView(token);
  return !text.empty() && (OperatorString + ",(").find(text) != std::string::npos;
}

bool TCustomScanner::NextToken(TToken& token) {
  const int32_t from = FOffset;
  FState = sStart;
  FTokenStart = FOffset;
  while (FState != sFinal) (this->*kHandlers[FState])(At(FOffset));
  token = TToken{FFinalKind, kNoKeyword, FTokenStart, FOffset - FTokenStart};
  if (token.Kind == TTokenKind::String) {
    token.Start += 1;
    token.Len -= 2;
  } else if (token.Kind == TTokenKind::BlockComment) {
    token.Start += int32_t(BlockCommentOpen.size());
    token.Len -= int32_t(BlockCommentOpen.size() + BlockCommentClose.size());
  }
  if (int64_t(token.Start) + token.Len > FEnd) throw Exception("Inconsistent Parse");
  void* index = nullptr;
  if (token.Kind == TTokenKind::Identifier && FKeywordTable &&
      FKeywordTable->Find(TokenView(token), index)) {
    token.Kind = TTokenKind::Keyword;
    token.KeywordIndex = static_cast<uint16_t>(reinterpret_cast<intptr_t>(index));
  }
  FSignAllowed = AllowsSign(token);
  Advance(from, FOffset);
  FEndOfText = token.Kind == TTokenKind::End;
  return !FEndOfText;
}

// ---- State handlers ----

void TCustomScanner::OnStart(char c) {
  if (FOffset >= FEnd) {
    Finish(TTokenKind::End);
  } else if (IsIdentifierStart(c)) {
    Consume();
    FState = sIdentifier;
  } else if (c >= '1' && c <= '9') {
    Consume();
    FState = sNumber;
  } else if (c == '0') {
    Consume();
    FState = sZero;
  } else if (c == '<' || c == '=' || c == '>' || c == '|') {
    if (IsOperatorChar(c)) {
      Consume();
      Finish(TTokenKind::Operator);
    } else {
      FState = sRelational;
    }
  } else if (c == '"') {
    Consume();
    FState = sDoubleQuoted;
  } else if (c == '\'') {
    Consume();
    FState = sSingleQuoted;
  } else if (c == FHexChar) {
    Consume();
    FState = sHexPrefix;
  } else if (IsBlank(c)) {
    Consume();
    FTokenStart = FOffset;
  } else {
    OnStartOther(c);
  }
}

void TCustomScanner::OnStartOther(char c) {
  if (StartsWithAt(FOffset, LineCommentMarker)) {
    FOffset += int32_t(LineCommentMarker.size());
    FState = sLineComment;
  } else if (StartsWithAt(FOffset, BlockCommentOpen)) {
    FCommentDepth = 1;  // between tokens no comment is open
    FOffset += int32_t(BlockCommentOpen.size());
    FInComment = true;
    FState = sBlockComment;
  } else if ((c == '+' || c == '-') && IsDigit(At(FOffset + 1)) && FSignAllowed) {
    Consume();
    FState = sNumber;
  } else {
    Consume();
    Finish(IsOperatorChar(c) ? TTokenKind::Operator : TTokenKind::Symbol);
  }
}

void TCustomScanner::OnIdentifier(char c) {
  const bool atTerminator = FHasTerminator && c == FTerminator && FOffset > FTokenStart;
  if (!atTerminator && (IsIdentifierStart(c) || (DigitsInIdentifiers && IsDigit(c)))) {
    Consume();
  } else {
    Finish(TTokenKind::Identifier);
  }
}

void TCustomScanner::OnNumber(char c) {
  if (c == '.' && IsDigit(At(FOffset + 1))) {
    Consume();
    FState = sFraction;
  } else if (IsDigit(c)) {
    Consume();
  } else {
    Finish(TTokenKind::Integer);
  }
}

void TCustomScanner::OnFraction(char c) {
  if (IsDigit(c)) {
    Consume();
  } else {
    Finish(TTokenKind::Float);
  }
}

void TCustomScanner::OnZero(char c) {
  if (c == '.') {
    Consume();
    FState = sFraction;
  } else if (IsDigit(c)) {
    Consume();
    FState = sNumber;
  } else if (c == 'x' || c == 'X') {
    Consume();
    FState = sHex;
  } else {
    Finish(TTokenKind::Integer);
  }
}

// A prefix without digits: the prefix alone as an operator, else a symbol of
// the prefix and the next character (past the end of the text that is the
// "Inconsistent Parse" error).
void TCustomScanner::OnHexPrefix(char c) {
  if (IsHexDigit(c)) {
    Consume();
    FState = sHex;
  } else if (IsOperatorChar(FHexChar)) {
    Finish(TTokenKind::Operator);
  } else {
    Consume();
    Finish(TTokenKind::Symbol);
  }
}

void TCustomScanner::OnHex(char c) {
  if (IsHexDigit(c)) {
    Consume();
  } else if (IsOperatorChar(FHexChar)) {
    FOffset = FTokenStart + 1;
    Finish(TTokenKind::Operator);
  } else {
    Finish(TTokenKind::HexNumber);
  }
}

void TCustomScanner::OnSingleQuoted(char c) {
  if (c == '\0' || c == '\n' || c == '\r') {
    Finish(TTokenKind::Symbol);
  } else {
    Consume();
    if (c == '\'') Finish(TTokenKind::String);
  }
}

void TCustomScanner::OnDoubleQuoted(char c) {
  if (c == '\0') {
    Finish(TTokenKind::Symbol);
  } else {
    Consume();
    if (c == '"') Finish(TTokenKind::String);
  }
}

void TCustomScanner::OnLineComment(char c) {
  if (FOffset >= FEnd) {
    Finish(TTokenKind::LineComment);
    return;
  }
  Consume();
  if (c == '\n' || c == '\r') Finish(TTokenKind::LineComment);
}

// An unterminated block comment comes out as a symbol, like an unterminated
// string, so that the parser reports it.
void TCustomScanner::OnBlockComment(char) {
  if (FOffset >= FEnd) {
    FCommentDepth = 0;
    FInComment = false;
    Finish(TTokenKind::Symbol);
  } else if (StartsWithAt(FOffset, BlockCommentClose)) {
    FOffset += int32_t(BlockCommentClose.size());
    if (--FCommentDepth == 0) {
      FInComment = false;
      Finish(TTokenKind::BlockComment);
    }
  } else if (StartsWithAt(FOffset, BlockCommentOpen)) {
    ++FCommentDepth;
    FOffset += int32_t(BlockCommentOpen.size());
  } else {
    Consume();
  }
}

void TCustomScanner::OnRelational(char c) {
  const char next = At(FOffset + 1);
  const bool pair = (c == '<' && (next == '=' || next == '>')) || (c == '>' && next == '=') ||
                    (c == '|' && next == '|');
  FOffset += pair ? 2 : 1;
  Finish(TTokenKind::Relational);
}

// ---- Token texts ----

std::string_view TCustomScanner::TokenView(const TToken& token) const {
  if (token.Len <= 0 || token.Start < 0 || token.Start + token.Len > FEnd) return {};
  return std::string_view(FText).substr(std::size_t(token.Start), std::size_t(token.Len));
}

std::string TCustomScanner::TokenText(const TToken& token) const {
  return std::string(TokenView(token));
}

bool TCustomScanner::TokenIs(const TToken& token, std::string_view text) const {
  return SameText(TokenView(token), text);
}

bool TCustomScanner::TokenStartsWith(const TToken& token, std::string_view text,
                                     int32_t count) const {
  const std::string_view view = TokenView(token);
  if (count < 0 || view.size() < std::size_t(count) || text.size() < std::size_t(count)) {
    return false;
  }
  return SameText(view.substr(0, std::size_t(count)), text.substr(0, std::size_t(count)));
}

}  // namespace quv
