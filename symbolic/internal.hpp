#pragma once

// Helpers shared by the core's source files and kept out of the public header.

#include <cstdint>
#include <memory>

#include "symbolic.hpp"

namespace zarnik::symbolic::detail {

// Throws std::invalid_argument unless `value` has 1..4 lanes, all finite.
// Spare lanes are never examined.
void require_finite(const SmallValue& value);

// Throws std::invalid_argument "<label> is not a valid symbolic value" on an empty handle.
void require_valid(const Value& value, const char* label);

// A fresh node with every field at its default, component_index -1 and the
// next id. The id is taken after the allocation succeeded, so a failed
// allocation consumes none.
std::shared_ptr<ValueNode> allocate_node();

// The lane-wise arithmetic of Add, Subtract, Multiply and Divide, with a
// one-lane operand broadcast over the other, and of Negate, Sin and Cos.
// Shared by constant folding and evaluation, so a folded constant and an
// evaluated expression over the same numbers agree bit for bit.
SmallValue binary_constant(ExpressionOp op, const SmallValue& left, const SmallValue& right, int dimension);
SmallValue unary_constant(ExpressionOp op, const SmallValue& operand);

}  // namespace zarnik::symbolic::detail
