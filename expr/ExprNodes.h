#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/Variant.h"

namespace quv {

class TExprParser;
class TExprBlock;

// The operator codes of block items; 0 ends a block.
enum class TExprOperator : uint8_t {
  None = 0,
  Assign = 1,  // ":" and the token after it: a marker, not evaluated
  Equal = 2,
  Less = 3,
  Greater = 4,
  GreaterEqual = 5,
  LessEqual = 6,
  NotEqual = 7,
  In = 8,
  Add = 9,  // "+" and "||"
  Subtract = 10,
  Divide = 11,
  IntDivide = 12,
  Multiply = 13,
  And = 14,
  Or = 15,
  Like = 17,
};

// The priority of an operator: 0 binds tightest, comparisons (2) loosest;
// None has kNoPriority.
inline constexpr uint8_t kNoPriority = 255;
uint8_t PriorityOf(TExprOperator code);

// A node of an expression tree. A node parses itself from the parser's
// scanner when it is made (see MakeNode) and keeps the span of source text it
// covered and the comments that followed it. Borrows the parser, which owns
// the tree.
class TExprNode {
 public:
  TExprNode(TExprParser& parser, TExprNode* parent) : FParser(&parser), FParent(parent) {}
  TExprNode(const TExprNode&) = delete;
  TExprNode& operator=(const TExprNode&) = delete;
  virtual ~TExprNode() = default;

  // The source text of the node.
  virtual std::string GetText() const;
  // The source text without surrounding blanks.
  virtual std::string GetName() const;
  virtual void Evaluate(TVariant& result) = 0;

  TExprParser& Parser() const { return *FParser; }
  TExprNode* Parent() const { return FParent; }
  const std::vector<std::string>& Comments() const { return FComments; }
  void AddComment(std::string text) { FComments.push_back(std::move(text)); }

  // Makes a node of class T under `parent`: records where it starts, lets it
  // parse itself, collects the comments after it and records its text.
  template <class T>
  static std::unique_ptr<T> Make(TExprParser& parser, TExprNode* parent) {
    auto node = std::make_unique<T>(parser, parent);
    node->Build();
    return node;
  }

 protected:
  virtual void Parse() = 0;
  std::string_view SourceView() const;

 private:
  friend class TExprBlock;
  void Build();

  TExprParser* FParser;
  TExprNode* FParent;
  std::vector<std::string> FComments;
  int32_t FStart = 0;
  int32_t FLength = 0;
};

// One operand of a block and the operator that follows it.
struct TExprItem {
  std::unique_ptr<TExprNode> Operand;
  std::string OperatorText;
  TExprOperator Code = TExprOperator::None;
  uint8_t Priority = kNoPriority;
  bool Negate = false;
};

// Operands joined by operators, evaluated by precedence: lower priorities
// first, equal priorities from left to right.
class TExprBlock : public TExprNode {
 public:
  using TExprNode::TExprNode;
  void Evaluate(TVariant& result) override;
  const std::vector<TExprItem>& Items() const { return FItems; }

 protected:
  void Parse() override;
  void Append(std::unique_ptr<TExprNode> operand, bool negate);

 private:
  std::unique_ptr<TExprNode> ParseOperand();
  // Reads the operator after an operand into `item`; false at the end of the block.
  bool ParseOperator(TExprItem& item);
  TVariant OperandValue(const TExprItem& item) const;
  TVariant Climb(std::size_t& current, uint8_t limit) const;

  std::vector<TExprItem> FItems;
};

// The whole expression.
class TRootBlock final : public TExprBlock {
 public:
  using TExprBlock::TExprBlock;
};

// A function call: a name and its arguments, one block each.
class TExprFunc final : public TExprBlock {
 public:
  using TExprBlock::TExprBlock;
  // The text between the parentheses.
  std::string GetText() const override { return FArgumentText; }
  void Evaluate(TVariant& result) override;
  const std::string& Name() const { return FName; }
  int32_t ArgumentCount() const { return static_cast<int32_t>(Items().size()); }
  TExprBlock& Argument(int32_t index) const;
  TVariant EvaluateArgument(int32_t index) const;

 protected:
  void Parse() override;

 private:
  std::string FName;
  std::string FArgumentText;
};

// An identifier, whose value the parser's owner gives.
class TExprVar final : public TExprNode {
 public:
  using TExprNode::TExprNode;
  void Evaluate(TVariant& result) override;
  const std::string& Name() const { return FName; }

 protected:
  void Parse() override;

 private:
  std::string FName;
};

// A number, a text, a Boolean or a set.
class TExprConst final : public TExprNode {
 public:
  using TExprNode::TExprNode;
  void Evaluate(TVariant& result) override { result = FValue; }
  const TVariant& Value() const { return FValue; }

 protected:
  void Parse() override;

 private:
  void ParseSet();
  TVariant ConvertToken();

  TVariant FValue;
};

}  // namespace quv
