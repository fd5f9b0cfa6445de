#include "expr/ExprOperators.h"

#include "expr/ExprMessages.h"
#include "expr/ExprSet.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

bool IsComparison(TExprOperator code) {
  return (code >= TExprOperator::Equal && code <= TExprOperator::In) || code == TExprOperator::Like;
}

bool ExprEqual(const TVariant& left, const TVariant& right) {
  const TVarKind kind = left.Kind();
  if (kind == right.Kind() && kind != TVarKind::Empty && kind != TVarKind::Double) {
    return left == right;
  }
  if (kind != TVarKind::Boolean && right.Kind() != TVarKind::Boolean) {
    return left.ToText() == right.ToText();
  }
  return ExprTruth(left) == ExprTruth(right);
}

bool ExprIn(const TVariant& left, const TVariant& right) {
  const TRef<ISet> set = SetOf(right);
  if (!set) throw Exception(std::string(exprmsg::kInNeedsSet));
  if (left.Kind() != TVarKind::Interface) return set->Contains(left.ToText());
  const TRef<ISet> items = SetOf(left);
  if (!items) throw Exception(std::string(exprmsg::kInNeedsSet));
  if (items->Count() == 0) return false;
  for (int32_t i = 0; i < items->Count(); ++i) {
    if (!set->Contains(items->Item(i).ToText())) return false;
  }
  return true;
}

bool Compare(TExprOperator code, const TVariant& left, const TVariant& right) {
  switch (code) {
    case TExprOperator::Equal:
      return ExprEqual(left, right);
    case TExprOperator::NotEqual:
      return !ExprEqual(left, right);
    case TExprOperator::Less:
      return VarCompare(left, right) == TVarRelation::Less;
    case TExprOperator::Greater:
      return VarCompare(left, right) == TVarRelation::Greater;
    case TExprOperator::GreaterEqual:
      return VarCompare(left, right) != TVarRelation::Less;
    case TExprOperator::LessEqual:
      return VarCompare(left, right) != TVarRelation::Greater;
    case TExprOperator::In:
      return ExprIn(left, right);
    default:  // like
      return LikeMatch(left.ToText(), right.ToText());
  }
}

// Whether a divisor equals 0 (empty counts as 0, as in arithmetic).
bool IsZero(const TVariant& value) {
  if (value.IsEmpty()) return true;
  if (value.IsNumeric()) return value.ToDouble() == 0;
  return value.IsText() && VarCompare(value, TVariant(0)) == TVarRelation::Equal;
}

TVariant Sum(const TVariant& left, const TVariant& right) {
  if (left.IsText() || right.IsText()) return TVariant(left.ToText() + right.ToText());
  return VarAdd(left, right);
}

}  // namespace

bool ExprTruth(const TVariant& value) {
  switch (value.Kind()) {
    case TVarKind::Integer:
    case TVarKind::Double:
    case TVarKind::Currency:
      return value.ToDouble() != 0;
    case TVarKind::Boolean:
      return value.ToBoolean();
    case TVarKind::Text: {
      const std::string& text = value.Text();
      return text == "t" || text == "T" || AnsiCompareText(text, "true") == 0 || text == "-1";
    }
    default:
      return false;
  }
}

TVariant ApplyOperator(TExprOperator code, std::string_view text, const TVariant& left,
                       const TVariant& right, bool nullPropagation) {
  if (code == TExprOperator::Assign) {
    throw Exception(std::string(exprmsg::kAssignmentNotEvaluated) + std::string(text));
  }
  if (nullPropagation && code != TExprOperator::Equal && code != TExprOperator::NotEqual &&
      (left.IsEmptyOrNull() || right.IsEmptyOrNull())) {
    return IsComparison(code) ? TVariant(false) : TVariant::Null();
  }
  if (IsComparison(code)) return TVariant(Compare(code, left, right));
  switch (code) {
    case TExprOperator::Add:
      return Sum(left, right);
    case TExprOperator::Subtract:
      return VarSubtract(left, right);
    case TExprOperator::Multiply:
      return VarMultiply(left, right);
    case TExprOperator::Divide:
      // Dividing by zero gives null rather than an error.
      if (IsZero(right)) return TVariant::Null();
      return VarDivide(left, right);
    case TExprOperator::IntDivide:
      return VarIntDivide(left, right);
    case TExprOperator::And:
      return VarAnd(left, right);
    default:  // or
      return VarOr(left, right);
  }
}

// Greedy matching that backs up to the last %: no recursion, at most
// text length x pattern length steps.
bool LikeMatch(std::string_view text, std::string_view pattern) {
  std::size_t t = 0, p = 0;
  std::size_t starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '_' || (pattern[p] != '%' && pattern[p] == text[t]))) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '%') {
      starP = p++;
      starT = t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

}  // namespace quv
