#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "expr/ExprNodes.h"
#include "expr/ExprScanner.h"
#include "platform/Exception.h"
#include "support/Hash.h"
#include "support/Variant.h"

namespace quv {

// What the parser makes of the next token.
enum class TTokenClass : uint8_t {
  None = 0,
  Identifier = 1,
  BlockStart = 2,  // "("
  BlockEnd = 3,    // ")"
  Value = 4,       // a number, a text, "[", true, false
  BooleanOperator = 5,
  Comparison = 6,  // "=", "<", ">", in, like
  EndOfText = 7,
  EndOfLine = 8,  // ";"
  Begin = 9,
  End = 10,
  Colon = 11,
  ExprOperator = 12,  // "+", "|", "-", "/", "\", "*"
  Comment = 13,
  Comma = 14,
};

// A failed Parse: the fixed message, and the byte offset in the text of the
// token the parser stopped at (the text's length at its end).
class EExprError : public Exception {
 public:
  EExprError(std::string message, int32_t position)
      : Exception(std::move(message)), FPosition(position) {}
  int32_t Position() const noexcept { return FPosition; }

 private:
  int32_t FPosition;
};

// Blocks (parentheses, function arguments) nest at most this deep.
inline constexpr int32_t kMaxExprNesting = 200;

// Parses an expression into a tree and evaluates it to a Variant.
//
// Grammar: a block is operands joined by binary operators; an operand is an
// optional "not", then a variable, a function call name(args), a constant
// (integer, $hex or 0xhex, float, 'text' or "text", true, false, a set
// [a, b]) or a parenthesised block. Priorities: * / \ and bind tightest,
// then + - || or, then the comparisons = <> < > <= >= in like; equal
// priorities apply from left to right, so "a = 1 and b = 2" means
// a = (1 and b) = 2. Text left after the whole expression is an error.
//
// Values of identifiers come from the parser's own variables, else from
// OnGetVariable; function calls go to the function-module registry, else to
// OnFunction. With NullPropagation an empty or null operand makes every
// comparison but = and <> false and every other operator null. "like"
// matches a text against a pattern in which % stands for any run of
// characters and _ for one character, case counting; the ":" marker parses
// but cannot be evaluated.
//
// Every failure is an Exception with a fixed message, an EExprError from
// Parse; a failed Parse keeps no tree. Not thread-safe: a parser and its
// tree belong to one thread.
class TExprParser {
 public:
  using TGetVariableEvent =
      std::function<void(TExprParser& sender, const std::string& name, TVariant& value)>;
  using TFunctionEvent =
      std::function<void(TExprParser& sender, TExprFunc& node, TVariant& result)>;

  TExprParser();
  TExprParser(const TExprParser&) = delete;
  TExprParser& operator=(const TExprParser&) = delete;
  virtual ~TExprParser();

  virtual void GetVariable(const std::string& name, TVariant& value);
  // True when a module or OnFunction handled the call.
  virtual bool InvokeFunction(TExprFunc& node, TVariant& result);
  // The empty Variant when nothing was parsed.
  virtual void Evaluate(TVariant& result);
  virtual void Parse(const std::string& text);
  TVariant Evaluate();

  // A variable of the parser's own, found before OnGetVariable is asked.
  void SetVariable(std::string_view name, const TVariant& value);

  bool NullPropagation = false;
  TGetVariableEvent OnGetVariable;
  TFunctionEvent OnFunction;

  const std::string& Text() const { return FText; }
  // Null when nothing was parsed or the last Parse failed.
  TRootBlock* Root() const { return FRoot.get(); }
  bool EndOfText() const { return FEndOfText; }

  // ---- Reading tokens, for the nodes as they parse themselves ----
  const TToken& Peek();
  TTokenClass PeekClass();
  std::string_view PeekView();
  // The class of the token after the next one.
  TTokenClass PeekSecondClass();
  void Consume();
  // Where the last consumed token ended.
  int32_t Offset() const { return FHere.Offset; }
  std::string_view Source(int32_t start, int32_t length) const;
  // The next token between double quotes, or "(fim da expressão)" at the end.
  std::string QuotedToken();
  // Raises `stem` followed by the quoted next token.
  [[noreturn]] void FailAtToken(std::string_view stem);
  // Raises the "Esperado ... mas encontrado ..." message unless the next
  // token is of one of `classes`.
  void Require(std::initializer_list<TTokenClass> classes);
  // Counts a block entered; raises past kMaxExprNesting.
  void EnterBlock();
  void LeaveBlock() { --FDepth; }

 private:
  TTokenClass ClassOf(const TToken& token) const;
  // Where the next token starts, or the last consumed one ended.
  int32_t StopPosition() const { return FHave ? FToken.Start : FHere.Offset; }

  TSequentialScanner FScanner;
  std::string FText;
  std::unique_ptr<TRootBlock> FRoot;
  bool FEndOfText = false;
  std::unique_ptr<THashList> FVariables;
  // The position after the last consumed token and, when FHave, the next token.
  TScannerBookmark FHere;
  bool FHave = false;
  TToken FToken;
  TScannerBookmark FAfter;
  int32_t FDepth = 0;
};

}  // namespace quv
