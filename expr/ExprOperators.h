#pragma once

#include <string_view>

#include "expr/ExprNodes.h"
#include "support/Variant.h"

namespace quv {

// Applies a block operator to two values. With `nullPropagation`, an empty
// or null operand makes every comparison but = and <> false and every other
// operator null. Raises EVariantError for values that do not go together and
// Exception for "in" without a set on the right and for the ":" marker
// (`text` is the operator as written, for that message).
TVariant ApplyOperator(TExprOperator code, std::string_view text, const TVariant& left,
                       const TVariant& right, bool nullPropagation);

// The truth of a value as = compares Booleans: numbers when non-zero, Booleans
// as they are, texts "t", "true" (any case) and "-1"; everything else is false.
bool ExprTruth(const TVariant& value);

// Whether `text` matches `pattern`, where % stands for any run of bytes and _
// for exactly one; other bytes match themselves, case counting.
bool LikeMatch(std::string_view text, std::string_view pattern);

}  // namespace quv
