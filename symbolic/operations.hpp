#pragma once

// Each operation of an expression node, in one place: how many operands it
// reads, its forward rule on one lane and its derivative rule on one lane,
// side by side. Constant folding, evaluation, the backward sweep and the
// compiled tapes all apply these rules, so they agree bit for bit by
// construction. The switches over ExpressionOp list every enumerator and have
// no default, so that an operation added without its rules does not compile.

#include <cmath>

#include "symbolic.hpp"

namespace zarnik::symbolic::detail {

// What an operation reads: nothing (a leaf), one operand lane by lane, two
// operands lane by lane with a one-lane operand broadcast, 2..4 scalars packed
// into lanes, or one lane of a vector.
enum class Shape : std::uint8_t { Leaf, Unary, Binary, Pack, Component, Unsupported };

constexpr Shape shape_of(ExpressionOp op) noexcept {
    switch (op) {
        case ExpressionOp::None: return Shape::Leaf;
        case ExpressionOp::Pack: return Shape::Pack;
        case ExpressionOp::Component: return Shape::Component;
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: return Shape::Binary;
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: return Shape::Unary;
    }
    return Shape::Unsupported;  // a byte that names no operation
}

// The rules of one operation. Binary: forward(a, b) and backward(a, b, g, da,
// db), which adds the lane's contribution into the operand slots da and db,
// da first; when both operands are one node, da and db are one slot and both
// updates land in it. Unary: forward(x) and backward(x, g, dx). The
// expressions are written exactly as the gradients must round.
// `keeps_finite`: finite operands always give a finite result, so a result
// of the operation needs no check of its own (a lane that is not finite can
// only come from an operation that does not keep finite values, which has
// been checked already).
template <ExpressionOp Op>
struct Rule;

template <>
struct Rule<ExpressionOp::Add> {
    static constexpr bool keeps_finite = false;  // overflows, divides by zero
    static double forward(double a, double b) noexcept { return a + b; }
    static void backward(double, double, double g, double& da, double& db) noexcept {
        da = da + g;
        db = db + g;
    }
};

template <>
struct Rule<ExpressionOp::Subtract> {
    static constexpr bool keeps_finite = false;  // overflows, divides by zero
    static double forward(double a, double b) noexcept { return a - b; }
    static void backward(double, double, double g, double& da, double& db) noexcept {
        da = da + g;
        db = db - g;
    }
};

template <>
struct Rule<ExpressionOp::Multiply> {
    static constexpr bool keeps_finite = false;  // overflows, divides by zero
    static double forward(double a, double b) noexcept { return a * b; }
    static void backward(double a, double b, double g, double& da, double& db) noexcept {
        da = da + b * g;
        db = db + g * a;
    }
};

template <>
struct Rule<ExpressionOp::Divide> {
    static constexpr bool keeps_finite = false;  // overflows, divides by zero
    static double forward(double a, double b) noexcept { return a / b; }
    // The divisor's term is the negated gradient times a, over b squared as one product.
    static void backward(double a, double b, double g, double& da, double& db) noexcept {
        da = da + g / b;
        db = db + (-g * a) / (b * b);
    }
};

template <>
struct Rule<ExpressionOp::Negate> {
    static constexpr bool keeps_finite = true;
    // A sign flip, not a subtraction from zero: -(+0.0) is -0.0.
    static double forward(double x) noexcept { return -x; }
    static void backward(double, double g, double& dx) noexcept { dx = dx - g; }
};

template <>
struct Rule<ExpressionOp::Sin> {
    static constexpr bool keeps_finite = true;
    static double forward(double x) noexcept { return std::sin(x); }
    static void backward(double x, double g, double& dx) noexcept { dx = std::cos(x) * g + dx; }
};

template <>
struct Rule<ExpressionOp::Cos> {
    static constexpr bool keeps_finite = true;
    static double forward(double x) noexcept { return std::cos(x); }
    static void backward(double x, double g, double& dx) noexcept { dx = (-std::sin(x)) * g + dx; }
};

// Calls `body(Rule<Op>{})` for a binary operation and returns its result;
// `other()` for every other code.
template <typename Body, typename Other>
decltype(auto) with_binary_rule(ExpressionOp op, Body&& body, Other&& other) {
    switch (op) {
        case ExpressionOp::Add: return body(Rule<ExpressionOp::Add>{});
        case ExpressionOp::Subtract: return body(Rule<ExpressionOp::Subtract>{});
        case ExpressionOp::Multiply: return body(Rule<ExpressionOp::Multiply>{});
        case ExpressionOp::Divide: return body(Rule<ExpressionOp::Divide>{});
        case ExpressionOp::None:
        case ExpressionOp::Pack:
        case ExpressionOp::Component:
        case ExpressionOp::Negate:
        case ExpressionOp::Sin:
        case ExpressionOp::Cos: break;
    }
    return other();
}

// The same for a unary operation.
template <typename Body, typename Other>
decltype(auto) with_unary_rule(ExpressionOp op, Body&& body, Other&& other) {
    switch (op) {
        case ExpressionOp::Negate: return body(Rule<ExpressionOp::Negate>{});
        case ExpressionOp::Sin: return body(Rule<ExpressionOp::Sin>{});
        case ExpressionOp::Cos: return body(Rule<ExpressionOp::Cos>{});
        case ExpressionOp::None:
        case ExpressionOp::Pack:
        case ExpressionOp::Component:
        case ExpressionOp::Add:
        case ExpressionOp::Subtract:
        case ExpressionOp::Multiply:
        case ExpressionOp::Divide: break;
    }
    return other();
}

// A one-lane operand pairs lane i of the result with its lane 0.
constexpr std::size_t broadcast_lane(int dimension, std::size_t lane) noexcept { return dimension == 1 ? 0 : lane; }

// The lane-wise arithmetic of the four binary and three unary operations on
// whole lane vectors, checked for finite lanes: constant folding, and the
// evaluation of graphs whose nodes the builders did not make.
SmallValue binary_constant(ExpressionOp op, const SmallValue& left, const SmallValue& right, int dimension);
SmallValue unary_constant(ExpressionOp op, const SmallValue& operand);

}  // namespace zarnik::symbolic::detail
