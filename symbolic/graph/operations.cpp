#include "symbolic/graph/operations.hpp"

#include <stdexcept>

#include "symbolic/graph/internal.hpp"

namespace zarnik::symbolic {

const char* to_string(ExpressionOp op) {
    // Every name in the table is a literal, so its view is NUL-terminated.
    return detail::facts_of_operations.name[static_cast<std::uint8_t>(op)].data();
}

std::vector<OperationEntry> operation_list() {
    std::vector<OperationEntry> entries;
    detail::Operations::any([&entries]<typename R>(R) {
        const int operands = R::shape == detail::Shape::Unary    ? 1
                             : R::shape == detail::Shape::Binary ? 2
                             : R::shape == detail::Shape::Select ? 3
                                                                 : 0;
        entries.push_back({detail::rule_op<R>, R::name.data(), operands, detail::vectorised<R>});
        return false;
    });
    return entries;
}

SmallValue detail::binary_constant(ExpressionOp op, const SmallValue& left, const SmallValue& right, int dimension) {
    require_dimension(dimension);
    SmallValue result;
    const bool known = with_rule(op, [&]<typename R>(R) {
        if constexpr (R::shape == Shape::Binary) {
            result.dimension = dimension;
            for (std::size_t i = 0; i < static_cast<std::size_t>(dimension); ++i) {
                result.lanes[i] = R::forward(left.lanes[broadcast_lane(left.dimension, i)],
                                             right.lanes[broadcast_lane(right.dimension, i)]);
            }
        }
    });
    if (!known || result.dimension == 0) {
        throw std::invalid_argument("unsupported binary symbolic expression op");
    }
    require_finite(result);
    return result;
}

SmallValue detail::select_constant(const SmallValue& condition, const SmallValue& first, const SmallValue& second,
                                   int dimension) {
    require_dimension(dimension);
    SmallValue result;
    result.dimension = dimension;
    for (std::size_t i = 0; i < static_cast<std::size_t>(dimension); ++i) {
        result.lanes[i] = Rule<ExpressionOp::Where>::forward(condition.lanes[broadcast_lane(condition.dimension, i)],
                                                             first.lanes[broadcast_lane(first.dimension, i)],
                                                             second.lanes[broadcast_lane(second.dimension, i)]);
    }
    require_finite(result);
    return result;
}

SmallValue detail::unary_constant(ExpressionOp op, const SmallValue& operand) {
    require_dimension(operand.dimension);
    SmallValue result;
    const bool known = with_rule(op, [&]<typename R>(R) {
        if constexpr (R::shape == Shape::Unary) {
            result.dimension = operand.dimension;
            for (std::size_t i = 0; i < static_cast<std::size_t>(operand.dimension); ++i) {
                result.lanes[i] = R::forward(operand.lanes[i]);
            }
        }
    });
    if (!known || result.dimension == 0) {
        throw std::invalid_argument("unsupported unary symbolic expression op");
    }
    require_finite(result);
    return result;
}

}  // namespace zarnik::symbolic
