#include "expr/ExprNodes.h"

#include <charconv>
#include <cstdlib>

#include "expr/ExprMessages.h"
#include "expr/ExprOperators.h"
#include "expr/ExprParser.h"
#include "expr/ExprSet.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

struct TOperatorText {
  std::string_view Text;
  TExprOperator Code;
};

constexpr TOperatorText kExpressionOperators[] = {
    {"+", TExprOperator::Add},    {"||", TExprOperator::Add},       {"-", TExprOperator::Subtract},
    {"/", TExprOperator::Divide}, {"\\", TExprOperator::IntDivide}, {"*", TExprOperator::Multiply}};

constexpr TOperatorText kComparisonOperators[] = {
    {"=", TExprOperator::Equal},      {"<", TExprOperator::Less},
    {">", TExprOperator::Greater},    {">=", TExprOperator::GreaterEqual},
    {"<=", TExprOperator::LessEqual}, {"<>", TExprOperator::NotEqual},
    {"in", TExprOperator::In},        {"like", TExprOperator::Like}};

template <std::size_t N>
TExprOperator Lookup(const TOperatorText (&table)[N], std::string_view text) {
  for (const TOperatorText& entry : table) {
    if (AnsiCompareText(entry.Text, text) == 0) return entry.Code;
  }
  return TExprOperator::None;
}

// Keeps the parser's count of open blocks.
class TNestingGuard final {
 public:
  explicit TNestingGuard(TExprParser& parser) : FParser(parser) { FParser.EnterBlock(); }
  ~TNestingGuard() { FParser.LeaveBlock(); }
  TNestingGuard(const TNestingGuard&) = delete;
  TNestingGuard& operator=(const TNestingGuard&) = delete;

 private:
  TExprParser& FParser;
};

}  // namespace

uint8_t PriorityOf(TExprOperator code) {
  switch (code) {
    case TExprOperator::None:
      return kNoPriority;
    case TExprOperator::Divide:
    case TExprOperator::IntDivide:
    case TExprOperator::Multiply:
    case TExprOperator::And:
      return 0;
    case TExprOperator::Add:
    case TExprOperator::Subtract:
    case TExprOperator::Or:
      return 1;
    default:
      return 2;
  }
}

// ---- TExprNode ----

void TExprNode::Build() {
  FStart = FParser->Offset();
  Parse();
  FLength = FParser->Offset() - FStart;
  while (FParser->PeekClass() == TTokenClass::Comment) {
    AddComment(std::string(FParser->PeekView()));
    FParser->Consume();
  }
}

std::string_view TExprNode::SourceView() const { return FParser->Source(FStart, FLength); }

std::string TExprNode::GetText() const { return std::string(SourceView()); }

std::string TExprNode::GetName() const { return std::string(Trimmed(GetText())); }

// ---- TExprBlock: parsing ----

void TExprBlock::Parse() {
  TNestingGuard nesting(Parser());
  TExprParser& parser = Parser();
  bool operandDue = false;  // an operator was read: an operand must follow
  for (;;) {
    while (parser.PeekClass() == TTokenClass::Comment) {
      AddComment(std::string(parser.PeekView()));
      parser.Consume();
    }
    bool negate = false;
    if (parser.PeekClass() == TTokenClass::BooleanOperator &&
        AnsiCompareText(parser.PeekView(), "not") == 0) {
      negate = true;
      parser.Consume();
    }
    std::unique_ptr<TExprNode> operand = ParseOperand();
    if (!operand) {
      // An operator without an operand before it, or nothing after "not" or
      // an operator, would silently drop part of the expression. An operator
      // that is itself unknown is named first.
      const std::string found = parser.QuotedToken();
      const int32_t foundAt = parser.Peek().Start;
      TExprItem unused;
      if (ParseOperator(unused) || negate || operandDue) {
        throw EExprError(std::string(exprmsg::kExpectedOperand) + found, foundAt);
      }
      return;
    }
    TExprItem& item = FItems.emplace_back();
    item.Operand = std::move(operand);
    item.Negate = negate;
    if (!ParseOperator(item)) return;
    operandDue = item.Code != TExprOperator::Assign;  // the marker may end the block
  }
}

std::unique_ptr<TExprNode> TExprBlock::ParseOperand() {
  TExprParser& parser = Parser();
  switch (parser.PeekClass()) {
    case TTokenClass::Identifier:
      if (parser.PeekSecondClass() == TTokenClass::BlockStart) return Make<TExprFunc>(parser, this);
      return Make<TExprVar>(parser, this);
    case TTokenClass::Value:
      return Make<TExprConst>(parser, this);
    case TTokenClass::BlockStart: {
      parser.Consume();
      std::unique_ptr<TExprNode> block = Make<TExprBlock>(parser, this);
      parser.Require({TTokenClass::BlockEnd});
      parser.Consume();
      return block;
    }
    default:
      return nullptr;
  }
}

bool TExprBlock::ParseOperator(TExprItem& item) {
  TExprParser& parser = Parser();
  const TTokenClass kind = parser.PeekClass();
  const int32_t start = parser.Peek().Start;
  switch (kind) {
    case TTokenClass::Colon:
      parser.Consume();
      item.OperatorText = ":" + std::string(parser.PeekView());
      parser.Consume();
      item.Code = TExprOperator::Assign;
      break;
    case TTokenClass::ExprOperator:
    case TTokenClass::Comparison:
      while (parser.PeekClass() == kind) {
        item.OperatorText += parser.PeekView();
        parser.Consume();
      }
      if (kind == TTokenClass::ExprOperator) {
        item.Code = Lookup(kExpressionOperators, item.OperatorText);
        if (item.Code == TExprOperator::None) {
          throw EExprError(std::string(exprmsg::kBadExpressionOperator) + item.OperatorText, start);
        }
      } else {
        item.Code = Lookup(kComparisonOperators, item.OperatorText);
        if (item.Code == TExprOperator::None) {
          throw EExprError(std::string(exprmsg::kBadComparisonOperator) + item.OperatorText, start);
        }
      }
      break;
    case TTokenClass::BooleanOperator:
      item.OperatorText = parser.PeekView();
      parser.Consume();
      if (AnsiCompareText(item.OperatorText, "and") == 0) {
        item.Code = TExprOperator::And;
      } else if (AnsiCompareText(item.OperatorText, "or") == 0) {
        item.Code = TExprOperator::Or;
      } else {
        throw EExprError(std::string(exprmsg::kBadBooleanOperator) + item.OperatorText, start);
      }
      break;
    default:
      return false;
  }
  item.Priority = PriorityOf(item.Code);
  return true;
}

void TExprBlock::Append(std::unique_ptr<TExprNode> operand, bool negate) {
  TExprItem& item = FItems.emplace_back();
  item.Operand = std::move(operand);
  item.Negate = negate;
}

// ---- TExprBlock: evaluation ----

TVariant TExprBlock::OperandValue(const TExprItem& item) const {
  TVariant value;
  item.Operand->Evaluate(value);
  return item.Negate ? VarNot(value) : value;
}

// Applies operators from FItems[current] on while they bind tighter than
// `limit`; leaves `current` at the item whose operator follows the result.
TVariant TExprBlock::Climb(std::size_t& current, uint8_t limit) const {
  const bool nulls = Parser().NullPropagation;
  TVariant value = OperandValue(FItems[current]);
  while (current + 1 < FItems.size()) {
    const TExprItem& item = FItems[current];
    if (limit != kNoPriority && item.Priority >= limit) break;
    TVariant right;
    if (FItems[current + 1].Priority < item.Priority) {
      ++current;
      right = Climb(current, item.Priority);
    } else {
      right = OperandValue(FItems[++current]);
    }
    value = ApplyOperator(item.Code, item.OperatorText, value, right, nulls);
  }
  return value;
}

void TExprBlock::Evaluate(TVariant& result) {
  if (FItems.empty()) {
    result = TVariant();
    return;
  }
  std::size_t current = 0;
  result = Climb(current, kNoPriority);
}

// ---- TExprFunc ----

void TExprFunc::Parse() {
  TExprParser& parser = Parser();
  if (parser.PeekClass() != TTokenClass::Identifier) {
    parser.FailAtToken(exprmsg::kExpectedFunctionName);
  }
  FName = Trimmed(parser.PeekView());
  parser.Consume();
  if (parser.PeekClass() != TTokenClass::BlockStart)
    parser.FailAtToken(exprmsg::kExpectedArguments);
  parser.Consume();
  const int32_t argumentsStart = parser.Offset();
  if (parser.PeekClass() != TTokenClass::BlockEnd) {
    Append(Make<TExprBlock>(parser, this), false);
    for (bool more = true; more;) {
      switch (parser.PeekClass()) {
        case TTokenClass::Comma:
          parser.Consume();
          Append(Make<TExprBlock>(parser, this), false);
          break;
        case TTokenClass::Comment:
          Argument(ArgumentCount() - 1).AddComment(std::string(parser.PeekView()));
          parser.Consume();
          break;
        case TTokenClass::BlockEnd:
          more = false;
          break;
        default:
          parser.FailAtToken(exprmsg::kExpectedCommaOrEnd);
      }
    }
  }
  FArgumentText = parser.Source(argumentsStart, parser.Peek().Start - argumentsStart);
  parser.Require({TTokenClass::BlockEnd});
  parser.Consume();
}

TExprBlock& TExprFunc::Argument(int32_t index) const {
  if (index < 0 || index >= ArgumentCount()) {
    throw Exception("Function " + FName + " has no argument " + std::to_string(index + 1));
  }
  return static_cast<TExprBlock&>(*Items()[std::size_t(index)].Operand);
}

TVariant TExprFunc::EvaluateArgument(int32_t index) const {
  TVariant value;
  Argument(index).Evaluate(value);
  return value;
}

void TExprFunc::Evaluate(TVariant& result) {
  result = TVariant();
  Parser().InvokeFunction(*this, result);
}

// ---- TExprVar ----

void TExprVar::Parse() {
  FName = Trimmed(Parser().PeekView());
  Parser().Consume();
}

void TExprVar::Evaluate(TVariant& result) { Parser().GetVariable(FName, result); }

// ---- TExprConst ----

void TExprConst::Parse() {
  TExprParser& parser = Parser();
  if (parser.PeekView() == "[" && parser.Peek().Kind != TTokenKind::String) {
    ParseSet();
    return;
  }
  FValue = ConvertToken();
  parser.Consume();
}

TVariant TExprConst::ConvertToken() {
  TExprParser& parser = Parser();
  const TToken& token = parser.Peek();
  const std::string_view text = parser.PeekView();
  const auto fail = [&]() -> TVariant {
    throw Exception(std::string(exprmsg::kCannotConvert) + std::string(text) +
                    std::string(exprmsg::kToTheType));
  };
  switch (token.Kind) {
    case TTokenKind::Integer: {
      int32_t value = 0;
      const std::string_view digits = text.starts_with('+') ? text.substr(1) : text;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (error != std::errc() || end != digits.data() + digits.size()) return fail();
      return TVariant(value);
    }
    case TTokenKind::HexNumber: {
      // $1F or 0x1F; up to eight digits, as a 32-bit pattern.
      const std::string_view digits = text.substr(text.starts_with('$') ? 1 : 2);
      uint32_t value = 0;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return fail();
      return TVariant(static_cast<int32_t>(value));
    }
    case TTokenKind::Float: {
      const std::string number(text);
      char* end = nullptr;
      const double value = std::strtod(number.c_str(), &end);
      if (end != number.c_str() + number.size()) return fail();
      return TVariant(value);
    }
    case TTokenKind::String:
      return TVariant(text);
    case TTokenKind::Identifier:
      if (AnsiCompareText(text, "true") == 0) return TVariant(true);
      if (AnsiCompareText(text, "false") == 0) return TVariant(false);
      return fail();
    default:
      throw Exception(std::string(exprmsg::kExpectedValue));
  }
}

void TExprConst::ParseSet() {
  TExprParser& parser = Parser();
  parser.Consume();  // [
  TVariantLinkedList items;
  const auto failAtEnd = [&] {
    throw Exception(std::string(exprmsg::kExpectedSetEnd) + std::string(parser.PeekView()));
  };
  for (;;) {
    if (parser.Peek().Kind == TTokenKind::End) failAtEnd();
    if (parser.PeekView() == "]") break;
    items.Add(TVariant(parser.PeekView()));
    parser.Consume();
    if (parser.Peek().Kind == TTokenKind::End || parser.PeekView() == "]") continue;
    if (parser.PeekView() != ",") throw Exception(std::string(exprmsg::kExpectedSetComma));
    parser.Consume();
  }
  parser.Consume();  // ]
  FValue = TVariant(TRef<IInterface>(new TSetImpl(items.Take())));
}

}  // namespace quv
