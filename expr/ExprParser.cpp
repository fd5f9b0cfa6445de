#include "expr/ExprParser.h"

#include <array>

#include "expr/ExprFunctionModules.h"
#include "expr/ExprMessages.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

// The names of the token classes in messages, by class number.
constexpr std::array<std::string_view, 11> kClassNames = {"",
                                                          "Identificador",
                                                          "Início de Bloco de Expressão"_cp,
                                                          "Fim de Bloco de Expressão"_cp,
                                                          "Valor",
                                                          "Operador Boleano",
                                                          "Operador de Comparação"_cp,
                                                          "Fim da Expressão"_cp,
                                                          "Fim de linha",
                                                          "Início de bloco"_cp,
                                                          "Fim de bloco"};

bool Is(std::string_view text, std::string_view word) { return AnsiCompareText(text, word) == 0; }

TTokenClass ClassOfWord(std::string_view text) {
  if (Is(text, "true") || Is(text, "false")) return TTokenClass::Value;
  if (Is(text, "and") || Is(text, "or") || Is(text, "not")) return TTokenClass::BooleanOperator;
  if (Is(text, "in") || Is(text, "like")) return TTokenClass::Comparison;
  if (Is(text, "begin")) return TTokenClass::Begin;
  if (Is(text, "end")) return TTokenClass::End;
  if (text == ":") return TTokenClass::Colon;
  return TTokenClass::Identifier;
}

TTokenClass ClassOfMark(std::string_view text) {
  if (text.size() != 1) return TTokenClass::None;
  switch (text[0]) {
    case '(':
      return TTokenClass::BlockStart;
    case ')':
      return TTokenClass::BlockEnd;
    case '[':
      return TTokenClass::Value;
    case '=':
    case '>':
    case '<':
      return TTokenClass::Comparison;
    case ';':
      return TTokenClass::EndOfLine;
    case ':':
      return TTokenClass::Colon;
    case '+':
    case '|':
    case '-':
    case '/':
    case '\\':
    case '*':
      return TTokenClass::ExprOperator;
    case ',':
      return TTokenClass::Comma;
    default:
      return TTokenClass::None;
  }
}

}  // namespace

TExprParser::TExprParser() = default;
TExprParser::~TExprParser() = default;

// ---- Parsing ----

void TExprParser::Parse(const std::string& text) {
  FEndOfText = false;
  FText = text;
  FRoot.reset();
  FScanner.SetOperatorChars("()=><,;-+\\/*[]|");
  FScanner.SetIdentifierStartChars("_.:!");
  FScanner.SetText(text);
  FHere = FScanner.GetBookmark();
  FHave = false;
  FDepth = -1;  // the root block is the expression itself, not a nesting level
  try {
    std::unique_ptr<TRootBlock> root = TExprNode::Make<TRootBlock>(*this, nullptr);
    Require({TTokenClass::EndOfText});
    FEndOfText = true;
    FRoot = std::move(root);
  } catch (const EExprError&) {
    throw;
  } catch (const Exception& e) {
    throw EExprError(e.Message(), StopPosition());
  }
}

const TToken& TExprParser::Peek() {
  if (!FHave) {
    FScanner.NextToken(FToken);
    FAfter = FScanner.GetBookmark();
    FHave = true;
  }
  return FToken;
}

TTokenClass TExprParser::PeekClass() { return ClassOf(Peek()); }

std::string_view TExprParser::PeekView() { return FScanner.TokenView(Peek()); }

void TExprParser::Consume() {
  Peek();
  FHere = FAfter;
  FHave = false;
}

TTokenClass TExprParser::PeekSecondClass() {
  Peek();
  const TScannerBookmark here = FHere;
  const TToken token = FToken;
  const TScannerBookmark after = FAfter;
  Consume();
  const TTokenClass second = PeekClass();
  FHere = here;
  FToken = token;
  FAfter = after;
  FHave = true;
  FScanner.GotoBookmark(after);
  return second;
}

TTokenClass TExprParser::ClassOf(const TToken& token) const {
  switch (token.Kind) {
    case TTokenKind::End:
      return TTokenClass::EndOfText;
    case TTokenKind::BlockComment:
    case TTokenKind::LineComment:
      return TTokenClass::Comment;
    case TTokenKind::Integer:
    case TTokenKind::Float:
    case TTokenKind::HexNumber:
    case TTokenKind::String:
      return TTokenClass::Value;
    case TTokenKind::Identifier:
    case TTokenKind::Keyword:
      return ClassOfWord(FScanner.TokenView(token));
    case TTokenKind::Relational:
      return FScanner.TokenView(token) == "||" ? TTokenClass::ExprOperator
                                               : TTokenClass::Comparison;
    default:
      return ClassOfMark(FScanner.TokenView(token));
  }
}

std::string_view TExprParser::Source(int32_t start, int32_t length) const {
  if (start < 0 || length <= 0 || std::size_t(start) + std::size_t(length) > FText.size()) {
    return {};
  }
  return std::string_view(FText).substr(std::size_t(start), std::size_t(length));
}

std::string TExprParser::QuotedToken() {
  if (Peek().Kind == TTokenKind::End) return std::string(exprmsg::kEndOfExpression);
  return "\"" + std::string(PeekView()) + "\"";
}

void TExprParser::FailAtToken(std::string_view stem) {
  throw Exception(std::string(stem) + QuotedToken());
}

void TExprParser::Require(std::initializer_list<TTokenClass> classes) {
  const TTokenClass found = PeekClass();
  std::string names;
  for (TTokenClass wanted : classes) {
    if (wanted == found) return;
    if (!names.empty()) names += exprmsg::kOr;
    names += kClassNames.at(std::size_t(wanted));
  }
  throw Exception(std::string(exprmsg::kExpected) + names + std::string(exprmsg::kButFound) +
                  QuotedToken());
}

void TExprParser::EnterBlock() {
  if (++FDepth > kMaxExprNesting) throw Exception(std::string(exprmsg::kTooDeep));
}

// ---- Evaluation ----

void TExprParser::Evaluate(TVariant& result) {
  if (FRoot) {
    FRoot->Evaluate(result);
  } else {
    result = TVariant();
  }
}

TVariant TExprParser::Evaluate() {
  TVariant result;
  Evaluate(result);
  return result;
}

void TExprParser::SetVariable(std::string_view name, const TVariant& value) {
  if (!FVariables) {
    FVariables = std::make_unique<THashList>(
        50, THashListMode{true, THashOwnership::Objects, THashDuplicates::Overwrite});
  }
  FVariables->Add(name, THashValue(std::make_unique<TVariant>(value)));
}

void TExprParser::GetVariable(const std::string& name, TVariant& value) {
  if (name.size() == 4 && Is(name, "null")) {
    value = TVariant::Null();
    return;
  }
  TVariant* own = nullptr;
  if (FVariables && FVariables->Find(name, own)) {
    value = *own;
  } else if (OnGetVariable) {
    OnGetVariable(*this, name, value);
  } else {
    throw Exception(std::string(exprmsg::kUnknownVariable) + name +
                    std::string(exprmsg::kUnknownVariableEnd));
  }
}

bool TExprParser::InvokeFunction(TExprFunc& node, TVariant& result) {
  if (TExprFunctionModuleManager::Instance().Invoke(*this, node, result)) return true;
  if (!OnFunction) throw Exception(std::string(exprmsg::kCannotInvoke));
  OnFunction(*this, node, result);
  return true;
}

}  // namespace quv
