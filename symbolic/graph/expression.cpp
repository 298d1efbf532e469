#include <stdexcept>
#include <string>
#include <utility>

#include "symbolic/expression.hpp"
#include "symbolic/factories.hpp"
#include "symbolic/graph/internal.hpp"
#include "symbolic/graph/operations.hpp"

namespace zarnik::symbolic {

namespace {

Value unary_expression(ExpressionOp op, Value operand) {
    detail::require_valid(operand, "unary operand");
    if (operand.is_constant()) {
        return constant(detail::unary_constant(op, operand.value()));
    }
    const int dimension = operand.dimension();
    return make_expression(op, dimension, {std::move(operand), Value{}, Value{}, Value{}}, 1, -1);
}

int combined_dimension(int left, int right) {
    if (left == right || right == 1) {
        return left;
    }
    if (left == 1) {
        return right;
    }
    throw std::invalid_argument("cannot combine symbolic values with dimensions " + std::to_string(left) + " and " +
                                std::to_string(right));
}

Value binary_expression(ExpressionOp op, Value left, Value right) {
    detail::require_valid(left, "left operand");
    detail::require_valid(right, "right operand");
    const int dimension = combined_dimension(left.dimension(), right.dimension());
    if (left.is_constant() && right.is_constant()) {
        return constant(detail::binary_constant(op, left.value(), right.value(), dimension));
    }
    return make_expression(op, dimension, {std::move(left), std::move(right), Value{}, Value{}}, 2, -1);
}

// A condition that is a constant picks a branch that has the result's lanes
// itself; three constants fold.
Value select_expression(Value condition, Value first, Value second) {
    detail::require_valid(condition, "where condition");
    detail::require_valid(first, "where x");
    detail::require_valid(second, "where y");
    const int dimension =
        combined_dimension(combined_dimension(condition.dimension(), first.dimension()), second.dimension());
    if (condition.is_constant() && first.is_constant() && second.is_constant()) {
        return constant(detail::select_constant(condition.value(), first.value(), second.value(), dimension));
    }
    if (condition.is_constant()) {
        const SmallValue lanes = condition.value();
        bool all_true = true;
        bool all_false = true;
        for (int i = 0; i < lanes.dimension; ++i) {
            all_true = all_true && lanes[i] != 0.0;
            all_false = all_false && lanes[i] == 0.0;
        }
        if (all_true && first.dimension() == dimension) {
            return first;
        }
        if (all_false && second.dimension() == dimension) {
            return second;
        }
    }
    return make_expression(ExpressionOp::Where, dimension,
                           {std::move(condition), std::move(first), std::move(second), Value{}}, 3, -1);
}

// The shared body of vec2, vec3 and vec4; `labels` name the arguments and
// `scalar_message` is the builder's own text for a non-scalar argument.
template <std::size_t N>
Value pack(std::array<Value, N> args, const std::array<const char*, N>& labels, const char* scalar_message) {
    for (std::size_t i = 0; i < N; ++i) {
        detail::require_valid(args[i], labels[i]);
    }
    bool all_constant = true;
    for (const Value& arg : args) {
        if (arg.dimension() != 1) {
            throw std::invalid_argument(scalar_message);
        }
        all_constant = all_constant && arg.is_constant();
    }
    if (all_constant) {
        SmallValue lanes;
        lanes.dimension = static_cast<std::int32_t>(N);
        for (std::size_t i = 0; i < N; ++i) {
            lanes.lanes[i] = args[i].node().value.lanes[0];
        }
        return constant(lanes);
    }
    std::array<Value, 4> inputs{};
    for (std::size_t i = 0; i < N; ++i) {
        inputs[i] = std::move(args[i]);
    }
    return make_expression(ExpressionOp::Pack, static_cast<int>(N), std::move(inputs), static_cast<int>(N), -1);
}

}  // namespace

Value make_expression(ExpressionOp op, int dimension, std::array<Value, 4> inputs, int input_count,
                      int component_index) {
    detail::require_dimension(dimension);
    if (input_count < 1 || input_count > 4) {
        throw std::invalid_argument("symbolic expression input count must be in 1..4");
    }
    for (int i = 0; i < input_count; ++i) {
        detail::require_valid(inputs[static_cast<std::size_t>(i)], "expression input");
    }
    auto node = detail::allocate_node();
    node->kind = ValueKind::Expression;
    node->op = op;
    node->dimension = dimension;
    node->inputs = std::move(inputs);
    node->input_count = input_count;
    node->component_index = component_index;
    return Value(std::move(node));
}

Value operator-(Value operand) { return unary_expression(ExpressionOp::Negate, std::move(operand)); }
Value sin(Value operand) { return unary_expression(ExpressionOp::Sin, std::move(operand)); }
Value cos(Value operand) { return unary_expression(ExpressionOp::Cos, std::move(operand)); }

Value sqrt(Value operand) { return unary_expression(ExpressionOp::Sqrt, std::move(operand)); }
Value exp(Value operand) { return unary_expression(ExpressionOp::Exp, std::move(operand)); }
Value log(Value operand) { return unary_expression(ExpressionOp::Log, std::move(operand)); }
Value log1p(Value operand) { return unary_expression(ExpressionOp::Log1p, std::move(operand)); }
Value expm1(Value operand) { return unary_expression(ExpressionOp::Expm1, std::move(operand)); }
Value tanh(Value operand) { return unary_expression(ExpressionOp::Tanh, std::move(operand)); }
Value sinh(Value operand) { return unary_expression(ExpressionOp::Sinh, std::move(operand)); }
Value cosh(Value operand) { return unary_expression(ExpressionOp::Cosh, std::move(operand)); }
Value tan(Value operand) { return unary_expression(ExpressionOp::Tan, std::move(operand)); }
Value asin(Value operand) { return unary_expression(ExpressionOp::Asin, std::move(operand)); }
Value acos(Value operand) { return unary_expression(ExpressionOp::Acos, std::move(operand)); }
Value atan(Value operand) { return unary_expression(ExpressionOp::Atan, std::move(operand)); }
Value abs(Value operand) { return unary_expression(ExpressionOp::Abs, std::move(operand)); }
Value cbrt(Value operand) { return unary_expression(ExpressionOp::Cbrt, std::move(operand)); }
Value sign(Value operand) { return unary_expression(ExpressionOp::Sign, std::move(operand)); }

Value component(Value value, int index) {
    detail::require_valid(value, "component value");
    const int dimension = value.dimension();
    if (index < 0 || index >= dimension) {
        throw std::out_of_range("symbolic component index out of range");
    }
    if (index == 0 && dimension == 1) {
        return value;
    }
    if (value.is_constant()) {
        return constant(value.node().value.lanes[static_cast<std::size_t>(index)]);
    }
    if (value.op() == ExpressionOp::Pack) {
        return value.input(index);
    }
    return make_expression(ExpressionOp::Component, 1, {std::move(value), Value{}, Value{}, Value{}}, 1, index);
}

Value vec2(Value x, Value y) {
    return pack<2>({std::move(x), std::move(y)}, {"vec2 x", "vec2 y"},
                   "vec2 expression inputs must be scalar symbolic values");
}

Value vec3(Value x, Value y, Value z) {
    return pack<3>({std::move(x), std::move(y), std::move(z)}, {"vec3 x", "vec3 y", "vec3 z"},
                   "vec3 expression inputs must be scalar symbolic values");
}

Value vec4(Value x, Value y, Value z, Value w) {
    return pack<4>({std::move(x), std::move(y), std::move(z), std::move(w)}, {"vec4 x", "vec4 y", "vec4 z", "vec4 w"},
                   "vec4 expression inputs must be scalar symbolic values");
}

Value operator+(Value left, Value right) {
    return binary_expression(ExpressionOp::Add, std::move(left), std::move(right));
}
Value operator-(Value left, Value right) {
    return binary_expression(ExpressionOp::Subtract, std::move(left), std::move(right));
}
Value operator*(Value left, Value right) {
    return binary_expression(ExpressionOp::Multiply, std::move(left), std::move(right));
}
Value operator/(Value left, Value right) {
    return binary_expression(ExpressionOp::Divide, std::move(left), std::move(right));
}

Value pow(Value base, Value exponent) {
    return binary_expression(ExpressionOp::Pow, std::move(base), std::move(exponent));
}
Value atan2(Value y, Value x) { return binary_expression(ExpressionOp::Atan2, std::move(y), std::move(x)); }
Value minimum(Value left, Value right) {
    return binary_expression(ExpressionOp::Minimum, std::move(left), std::move(right));
}
Value maximum(Value left, Value right) {
    return binary_expression(ExpressionOp::Maximum, std::move(left), std::move(right));
}
Value step(Value left, Value right) { return binary_expression(ExpressionOp::Step, std::move(left), std::move(right)); }
Value gate(Value condition, Value value) {
    return binary_expression(ExpressionOp::Gate, std::move(condition), std::move(value));
}

// The number becomes a constant before the handle is checked, so it takes its
// id even when the operator then fails.
Value operator+(Value left, double right) { return std::move(left) + constant(right); }
Value operator-(Value left, double right) { return std::move(left) - constant(right); }
Value operator*(Value left, double right) { return std::move(left) * constant(right); }
Value operator/(Value left, double right) { return std::move(left) / constant(right); }
Value operator+(double left, Value right) { return constant(left) + std::move(right); }
Value operator-(double left, Value right) { return constant(left) - std::move(right); }
Value operator*(double left, Value right) { return constant(left) * std::move(right); }
Value operator/(double left, Value right) { return constant(left) / std::move(right); }
Value pow(Value base, double exponent) { return pow(std::move(base), constant(exponent)); }
Value pow(double base, Value exponent) { return pow(constant(base), std::move(exponent)); }
Value atan2(Value y, double x) { return atan2(std::move(y), constant(x)); }
Value atan2(double y, Value x) { return atan2(constant(y), std::move(x)); }
Value minimum(Value left, double right) { return minimum(std::move(left), constant(right)); }
Value minimum(double left, Value right) { return minimum(constant(left), std::move(right)); }
Value maximum(Value left, double right) { return maximum(std::move(left), constant(right)); }
Value maximum(double left, Value right) { return maximum(constant(left), std::move(right)); }

Value less(Value left, Value right) { return binary_expression(ExpressionOp::Less, std::move(left), std::move(right)); }
Value less(Value left, double right) { return less(std::move(left), constant(right)); }
Value less(double left, Value right) { return less(constant(left), std::move(right)); }
Value less_equal(Value left, Value right) {
    return binary_expression(ExpressionOp::LessEqual, std::move(left), std::move(right));
}
Value less_equal(Value left, double right) { return less_equal(std::move(left), constant(right)); }
Value less_equal(double left, Value right) { return less_equal(constant(left), std::move(right)); }
Value greater(Value left, Value right) {
    return binary_expression(ExpressionOp::Greater, std::move(left), std::move(right));
}
Value greater(Value left, double right) { return greater(std::move(left), constant(right)); }
Value greater(double left, Value right) { return greater(constant(left), std::move(right)); }
Value greater_equal(Value left, Value right) {
    return binary_expression(ExpressionOp::GreaterEqual, std::move(left), std::move(right));
}
Value greater_equal(Value left, double right) { return greater_equal(std::move(left), constant(right)); }
Value greater_equal(double left, Value right) { return greater_equal(constant(left), std::move(right)); }
Value equal(Value left, Value right) {
    return binary_expression(ExpressionOp::Equal, std::move(left), std::move(right));
}
Value equal(Value left, double right) { return equal(std::move(left), constant(right)); }
Value equal(double left, Value right) { return equal(constant(left), std::move(right)); }
Value not_equal(Value left, Value right) {
    return binary_expression(ExpressionOp::NotEqual, std::move(left), std::move(right));
}
Value not_equal(Value left, double right) { return not_equal(std::move(left), constant(right)); }
Value not_equal(double left, Value right) { return not_equal(constant(left), std::move(right)); }
Value logical_and(Value left, Value right) {
    return binary_expression(ExpressionOp::LogicalAnd, std::move(left), std::move(right));
}
Value logical_and(Value left, double right) { return logical_and(std::move(left), constant(right)); }
Value logical_and(double left, Value right) { return logical_and(constant(left), std::move(right)); }
Value logical_or(Value left, Value right) {
    return binary_expression(ExpressionOp::LogicalOr, std::move(left), std::move(right));
}
Value logical_or(Value left, double right) { return logical_or(std::move(left), constant(right)); }
Value logical_or(double left, Value right) { return logical_or(constant(left), std::move(right)); }
Value logical_not(Value operand) { return unary_expression(ExpressionOp::LogicalNot, std::move(operand)); }

Value where(Value condition, Value x, Value y) {
    return select_expression(std::move(condition), std::move(x), std::move(y));
}
Value where(Value condition, Value x, double y) { return where(std::move(condition), std::move(x), constant(y)); }
Value where(Value condition, double x, Value y) { return where(std::move(condition), constant(x), std::move(y)); }
Value where(Value condition, double x, double y) { return where(std::move(condition), constant(x), constant(y)); }

}  // namespace zarnik::symbolic
