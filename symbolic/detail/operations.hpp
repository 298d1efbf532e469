#pragma once

// Every operation of an expression node, in one place. Each has a Rule: its
// display name, its shape (what it reads), whether finite operands always
// give a finite result, and, for the lane-wise operations, its forward rule
// on one lane beside its derivative rule. `Operations` lists them all; every
// dispatch in the core (folding, the program recorder, the single-row and
// row-block runners, the reference evaluator, the passes over programs, the
// names) goes through that list, so an operation is added here and in its
// builder, and nowhere else in the core.
//
// Adding an operation: its enumerator in value.hpp, its Rule below, its entry
// in `Operations`, its builder in expression.hpp/.cpp, and its binding.

#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "symbolic/symbolic.hpp"

namespace zarnik::symbolic::detail {

// What an operation reads: nothing (a leaf), one operand lane by lane, two
// operands lane by lane with a one-lane operand broadcast, 2..4 scalars packed
// into lanes, or one lane of a vector.
enum class Shape : std::uint8_t { Leaf, Unary, Binary, Pack, Component, Unsupported };

// The rules of one operation.
//
// Unary: forward(x), and backward(x, y, g, dx), which adds the lane's
// contribution g * dy/dx into dx; y is the forward result, for rules whose
// exact derivative is cheapest written with it.
// Binary: forward(a, b), and backward(a, b, y, g, da, db), which adds into the
// operand slots da and db, da first; when both operands are one node, da and
// db are one slot and both updates land in it.
// The expressions are written exactly as the gradients must round. A
// derivative that is not finite (at a pole, or at the edge of a domain) is
// added as it is, as division by a tiny number always was: only values are
// checked for finiteness, never gradients.
//
// `keeps_finite`: finite operands always give a finite result, so a result of
// the operation needs no check of its own.
template <ExpressionOp Op>
struct Rule;

template <>
struct Rule<ExpressionOp::Pack> {
    static constexpr std::string_view name = "Pack";
    static constexpr Shape shape = Shape::Pack;
    static constexpr bool keeps_finite = true;  // copies lanes that were checked
};

template <>
struct Rule<ExpressionOp::Component> {
    static constexpr std::string_view name = "Component";
    static constexpr Shape shape = Shape::Component;
    static constexpr bool keeps_finite = true;  // copies a lane that was checked
};

// --- binary ---------------------------------------------------------------------

struct BinaryRule {
    static constexpr Shape shape = Shape::Binary;
};

template <>
struct Rule<ExpressionOp::Add> : BinaryRule {
    static constexpr std::string_view name = "Add";
    static constexpr bool keeps_finite = false;  // overflows
    static double forward(double a, double b) noexcept { return a + b; }
    static void backward(double, double, double, double g, double& da, double& db) noexcept {
        da = da + g;
        db = db + g;
    }
};

template <>
struct Rule<ExpressionOp::Subtract> : BinaryRule {
    static constexpr std::string_view name = "Subtract";
    static constexpr bool keeps_finite = false;  // overflows
    static double forward(double a, double b) noexcept { return a - b; }
    static void backward(double, double, double, double g, double& da, double& db) noexcept {
        da = da + g;
        db = db - g;
    }
};

template <>
struct Rule<ExpressionOp::Multiply> : BinaryRule {
    static constexpr std::string_view name = "Multiply";
    static constexpr bool keeps_finite = false;  // overflows
    static double forward(double a, double b) noexcept { return a * b; }
    static void backward(double a, double b, double, double g, double& da, double& db) noexcept {
        da = da + b * g;
        db = db + g * a;
    }
};

template <>
struct Rule<ExpressionOp::Divide> : BinaryRule {
    static constexpr std::string_view name = "Divide";
    static constexpr bool keeps_finite = false;  // overflows, divides by zero
    // d(a/b) = da / b - a db / b^2: the divisor's term is the negated gradient
    // times a, over b squared as one product.
    static double forward(double a, double b) noexcept { return a / b; }
    static void backward(double a, double b, double, double g, double& da, double& db) noexcept {
        da = da + g / b;
        db = db + (-g * a) / (b * b);
    }
};

template <>
struct Rule<ExpressionOp::Pow> : BinaryRule {
    static constexpr std::string_view name = "Pow";
    static constexpr bool keeps_finite = false;  // overflows; a negative base with a fractional exponent; 0 to a negative power
    // d(a^b) = b a^(b-1) da + a^b ln(a) db. An exponent of 0 has a zero
    // derivative in a (a^0 is 1 everywhere), and a base of 0 a zero derivative
    // in b (0^b is 0 for every b > 0); elsewhere a non-positive base gives
    // ln(a) = NaN or -inf in the exponent's term.
    static double forward(double a, double b) noexcept { return std::pow(a, b); }
    static void backward(double a, double b, double y, double g, double& da, double& db) noexcept {
        da = da + (b == 0.0 ? 0.0 : g * (b * std::pow(a, b - 1.0)));
        db = db + (a == 0.0 ? 0.0 : g * (y * std::log(a)));
    }
};

template <>
struct Rule<ExpressionOp::Atan2> : BinaryRule {
    static constexpr std::string_view name = "Atan2";
    static constexpr bool keeps_finite = true;
    // atan2(a, b) is the angle of the point (b, a): d = (b da - a db) / (a^2 + b^2),
    // NaN at the origin, where the angle has no derivative.
    static double forward(double a, double b) noexcept { return std::atan2(a, b); }
    static void backward(double a, double b, double, double g, double& da, double& db) noexcept {
        const double r2 = a * a + b * b;
        da = da + g * b / r2;
        db = db + (-g * a) / r2;
    }
};

// A tie splits the gradient evenly between the two operands: the mean of the
// one-sided derivatives, as the common AD libraries define it.
template <>
struct Rule<ExpressionOp::Minimum> : BinaryRule {
    static constexpr std::string_view name = "Minimum";
    static constexpr bool keeps_finite = true;
    static double forward(double a, double b) noexcept { return b < a ? b : a; }
    static void backward(double a, double b, double, double g, double& da, double& db) noexcept {
        // Each share computed on its own: g minus a share is NaN for g = inf.
        da = da + (a < b ? g : (a == b ? 0.5 * g : 0.0));
        db = db + (b < a ? g : (a == b ? 0.5 * g : 0.0));
    }
};

template <>
struct Rule<ExpressionOp::Maximum> : BinaryRule {
    static constexpr std::string_view name = "Maximum";
    static constexpr bool keeps_finite = true;
    static double forward(double a, double b) noexcept { return a < b ? b : a; }
    static void backward(double a, double b, double, double g, double& da, double& db) noexcept {
        da = da + (a > b ? g : (a == b ? 0.5 * g : 0.0));
        db = db + (b > a ? g : (a == b ? 0.5 * g : 0.0));
    }
};

// --- unary ----------------------------------------------------------------------

struct UnaryRule {
    static constexpr Shape shape = Shape::Unary;
};

template <>
struct Rule<ExpressionOp::Negate> : UnaryRule {
    static constexpr std::string_view name = "Negate";
    static constexpr bool keeps_finite = true;
    // A sign flip, not a subtraction from zero: -(+0.0) is -0.0.
    static double forward(double x) noexcept { return -x; }
    static void backward(double, double, double g, double& dx) noexcept { dx = dx - g; }
};

template <>
struct Rule<ExpressionOp::Sin> : UnaryRule {
    static constexpr std::string_view name = "Sin";
    static constexpr bool keeps_finite = true;
    static double forward(double x) noexcept { return std::sin(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = std::cos(x) * g + dx; }
};

template <>
struct Rule<ExpressionOp::Cos> : UnaryRule {
    static constexpr std::string_view name = "Cos";
    static constexpr bool keeps_finite = true;
    static double forward(double x) noexcept { return std::cos(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = (-std::sin(x)) * g + dx; }
};

template <>
struct Rule<ExpressionOp::Sqrt> : UnaryRule {
    static constexpr std::string_view name = "Sqrt";
    static constexpr bool keeps_finite = false;  // NaN below 0
    // d sqrt(x) = dx / (2 sqrt(x)): +inf at 0. sqrt(-0) is -0, whose
    // reciprocal would be -inf: the slope at -0 is the slope at 0.
    static double forward(double x) noexcept { return std::sqrt(x); }
    static void backward(double, double y, double g, double& dx) noexcept { dx = dx + g * (0.5 / std::fabs(y)); }
};

template <>
struct Rule<ExpressionOp::Exp> : UnaryRule {
    static constexpr std::string_view name = "Exp";
    static constexpr bool keeps_finite = false;  // overflows above about 709.78
    // d exp(x) = exp(x) dx.
    static double forward(double x) noexcept { return std::exp(x); }
    static void backward(double, double y, double g, double& dx) noexcept { dx = dx + g * y; }
};

template <>
struct Rule<ExpressionOp::Log> : UnaryRule {
    static constexpr std::string_view name = "Log";
    static constexpr bool keeps_finite = false;  // -inf at 0, NaN below
    // d ln(x) = dx / x.
    static double forward(double x) noexcept { return std::log(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = dx + g / x; }
};

template <>
struct Rule<ExpressionOp::Log1p> : UnaryRule {
    static constexpr std::string_view name = "Log1p";
    static constexpr bool keeps_finite = false;  // -inf at -1, NaN below
    // d ln(1 + x) = dx / (1 + x).
    static double forward(double x) noexcept { return std::log1p(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = dx + g / (1.0 + x); }
};

template <>
struct Rule<ExpressionOp::Expm1> : UnaryRule {
    static constexpr std::string_view name = "Expm1";
    static constexpr bool keeps_finite = false;  // overflows above about 709.78
    // d (exp(x) - 1) = exp(x) dx = (y + 1) dx.
    static double forward(double x) noexcept { return std::expm1(x); }
    static void backward(double, double y, double g, double& dx) noexcept { dx = dx + g * (y + 1.0); }
};

template <>
struct Rule<ExpressionOp::Tanh> : UnaryRule {
    static constexpr std::string_view name = "Tanh";
    static constexpr bool keeps_finite = true;
    // d tanh(x) = (1 - tanh(x)^2) dx.
    static double forward(double x) noexcept { return std::tanh(x); }
    static void backward(double, double y, double g, double& dx) noexcept { dx = dx + g * (1.0 - y * y); }
};

template <>
struct Rule<ExpressionOp::Sinh> : UnaryRule {
    static constexpr std::string_view name = "Sinh";
    static constexpr bool keeps_finite = false;  // overflows beyond about +-710.48
    // d sinh(x) = cosh(x) dx.
    static double forward(double x) noexcept { return std::sinh(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = dx + g * std::cosh(x); }
};

template <>
struct Rule<ExpressionOp::Cosh> : UnaryRule {
    static constexpr std::string_view name = "Cosh";
    static constexpr bool keeps_finite = false;  // overflows beyond about +-710.48
    // d cosh(x) = sinh(x) dx.
    static double forward(double x) noexcept { return std::cosh(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = dx + g * std::sinh(x); }
};

template <>
struct Rule<ExpressionOp::Tan> : UnaryRule {
    static constexpr std::string_view name = "Tan";
    // Finite for every finite double: no double lies on a pole.
    static constexpr bool keeps_finite = true;
    // d tan(x) = (1 + tan(x)^2) dx.
    static double forward(double x) noexcept { return std::tan(x); }
    static void backward(double, double y, double g, double& dx) noexcept { dx = dx + g * (1.0 + y * y); }
};

template <>
struct Rule<ExpressionOp::Asin> : UnaryRule {
    static constexpr std::string_view name = "Asin";
    static constexpr bool keeps_finite = false;  // NaN outside [-1, 1]
    // d asin(x) = dx / sqrt(1 - x^2): +inf at +-1.
    static double forward(double x) noexcept { return std::asin(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = dx + g / std::sqrt(1.0 - x * x); }
};

template <>
struct Rule<ExpressionOp::Acos> : UnaryRule {
    static constexpr std::string_view name = "Acos";
    static constexpr bool keeps_finite = false;  // NaN outside [-1, 1]
    // d acos(x) = -dx / sqrt(1 - x^2): -inf at +-1.
    static double forward(double x) noexcept { return std::acos(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = dx + (-g) / std::sqrt(1.0 - x * x); }
};

template <>
struct Rule<ExpressionOp::Atan> : UnaryRule {
    static constexpr std::string_view name = "Atan";
    static constexpr bool keeps_finite = true;
    // d atan(x) = dx / (1 + x^2).
    static double forward(double x) noexcept { return std::atan(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = dx + g / (1.0 + x * x); }
};

template <>
struct Rule<ExpressionOp::Abs> : UnaryRule {
    static constexpr std::string_view name = "Abs";
    static constexpr bool keeps_finite = true;
    // d |x| = sign(x) dx, taken as +1 at 0 (and at -0).
    static double forward(double x) noexcept { return std::fabs(x); }
    static void backward(double x, double, double g, double& dx) noexcept { dx = x < 0.0 ? dx - g : dx + g; }
};

// --- the list -------------------------------------------------------------------

template <ExpressionOp... Ops>
struct OperationList {
    // Calls `body(Rule<Op>{})` for each operation in turn until one returns true.
    template <typename Body>
    [[gnu::always_inline]] static constexpr bool any(Body&& body) {
        return (body(Rule<Ops>{}) || ...);
    }
};

using Operations = OperationList<
    ExpressionOp::Pack, ExpressionOp::Component, ExpressionOp::Add, ExpressionOp::Subtract, ExpressionOp::Multiply,
    ExpressionOp::Divide, ExpressionOp::Negate, ExpressionOp::Sin, ExpressionOp::Cos, ExpressionOp::Sqrt,
    ExpressionOp::Exp, ExpressionOp::Log, ExpressionOp::Log1p, ExpressionOp::Expm1, ExpressionOp::Tanh,
    ExpressionOp::Sinh, ExpressionOp::Cosh, ExpressionOp::Tan, ExpressionOp::Asin, ExpressionOp::Acos,
    ExpressionOp::Atan, ExpressionOp::Abs, ExpressionOp::Pow, ExpressionOp::Atan2, ExpressionOp::Minimum,
    ExpressionOp::Maximum>;

template <typename R>
struct OpOf;
template <ExpressionOp Op>
struct OpOf<Rule<Op>> {
    static constexpr ExpressionOp value = Op;
};
// The operation a rule belongs to.
template <typename R>
constexpr ExpressionOp rule_op = OpOf<R>::value;

// What the list says of every byte, looked up by value.
struct OperationFacts {
    std::array<Shape, 256> shape{};
    std::array<bool, 256> keeps_finite{};
    std::array<std::string_view, 256> name{};
};

consteval OperationFacts operation_facts() {
    OperationFacts facts;
    facts.shape.fill(Shape::Unsupported);
    facts.name.fill("Unknown");
    facts.shape[0] = Shape::Leaf;
    facts.name[0] = "None";
    Operations::any([&facts]<typename R>(R) {
        const auto index = static_cast<std::size_t>(rule_op<R>);
        facts.shape[index] = R::shape;
        facts.keeps_finite[index] = R::keeps_finite;
        facts.name[index] = R::name;
        return false;
    });
    return facts;
}

inline constexpr OperationFacts facts_of_operations = operation_facts();

constexpr Shape shape_of(ExpressionOp op) noexcept { return facts_of_operations.shape[static_cast<std::uint8_t>(op)]; }

// Calls `body(Rule<Op>{})` for the operation `op` and returns true; false when
// `op` names no operation.
template <typename Body>
[[gnu::always_inline]] inline bool with_rule(ExpressionOp op, Body&& body) {
    return Operations::any([&]<typename R>(R rule) {
        if (op != rule_op<R>) {
            return false;
        }
        body(rule);
        return true;
    });
}

// A one-lane operand pairs lane i of the result with its lane 0.
constexpr std::size_t broadcast_lane(int dimension, std::size_t lane) noexcept { return dimension == 1 ? 0 : lane; }

// The lane-wise arithmetic of the binary and unary operations on whole lane
// vectors, checked for finite lanes: constant folding, and the evaluation of
// graphs whose nodes the builders did not make.
SmallValue binary_constant(ExpressionOp op, const SmallValue& left, const SmallValue& right, int dimension);
SmallValue unary_constant(ExpressionOp op, const SmallValue& operand);

}  // namespace zarnik::symbolic::detail
