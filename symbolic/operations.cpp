#include "operations.hpp"

#include <stdexcept>

#include "internal.hpp"

namespace zarnik::symbolic {

const char* to_string(ExpressionOp op) {
    switch (op) {
        case ExpressionOp::None: return "None";
        case ExpressionOp::Pack: return "Pack";
        case ExpressionOp::Component: return "Component";
        case ExpressionOp::Add: return "Add";
        case ExpressionOp::Subtract: return "Subtract";
        case ExpressionOp::Multiply: return "Multiply";
        case ExpressionOp::Divide: return "Divide";
        case ExpressionOp::Negate: return "Negate";
        case ExpressionOp::Sin: return "Sin";
        case ExpressionOp::Cos: return "Cos";
    }
    return "Unknown";
}

SmallValue detail::binary_constant(ExpressionOp op, const SmallValue& left, const SmallValue& right, int dimension) {
    require_dimension(dimension);
    return with_binary_rule(
        op,
        [&](auto rule) {
            SmallValue result;
            result.dimension = dimension;
            for (std::size_t i = 0; i < static_cast<std::size_t>(dimension); ++i) {
                result.lanes[i] = rule.forward(left.lanes[broadcast_lane(left.dimension, i)],
                                               right.lanes[broadcast_lane(right.dimension, i)]);
            }
            require_finite(result);
            return result;
        },
        []() -> SmallValue { throw std::invalid_argument("unsupported binary symbolic expression op"); });
}

SmallValue detail::unary_constant(ExpressionOp op, const SmallValue& operand) {
    require_dimension(operand.dimension);
    return with_unary_rule(
        op,
        [&](auto rule) {
            SmallValue result;
            result.dimension = operand.dimension;
            for (std::size_t i = 0; i < static_cast<std::size_t>(operand.dimension); ++i) {
                result.lanes[i] = rule.forward(operand.lanes[i]);
            }
            require_finite(result);
            return result;
        },
        []() -> SmallValue { throw std::invalid_argument("unsupported unary symbolic expression op"); });
}

}  // namespace zarnik::symbolic
