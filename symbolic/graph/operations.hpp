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
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

#include "symbolic/expression.hpp"
#include "symbolic/value.hpp"

namespace zarnik::symbolic::detail {

// What an operation reads: nothing (a leaf), one operand lane by lane, two
// operands lane by lane with a one-lane operand broadcast, 2..4 scalars packed
// into lanes, one lane of a vector, or a condition and two branches lane by
// lane, any one-lane operand broadcast (Select).
enum class Shape : std::uint8_t { Leaf, Unary, Binary, Pack, Component, Select, Unsupported };

// The functions that derivatives are written with, on one lane. Each rule's
// derivative is a template over its scalar type: over doubles it is the
// reverse sweep's arithmetic, and over graph values (derivative_graphs.cpp)
// the same expressions build the derivative's graph, where
// argument-dependent lookup finds the builders of these names. One
// definition serves both, so that a gradient graph computes exactly what a
// backward pass computes.
namespace lane {
// The functions that approximate batches compute with vectorised kernels
// (approximate.hpp); a forward rule written with them alone, over the lane
// type (a template), is one such function itself.
inline double sin(double x) noexcept { return std::sin(x); }
inline double cos(double x) noexcept { return std::cos(x); }
inline double tan(double x) noexcept { return std::tan(x); }
inline double asin(double x) noexcept { return std::asin(x); }
inline double acos(double x) noexcept { return std::acos(x); }
inline double atan(double x) noexcept { return std::atan(x); }
inline double exp(double x) noexcept { return std::exp(x); }
inline double expm1(double x) noexcept { return std::expm1(x); }
inline double log(double x) noexcept { return std::log(x); }
inline double log1p(double x) noexcept { return std::log1p(x); }
inline double sinh(double x) noexcept { return std::sinh(x); }
inline double cosh(double x) noexcept { return std::cosh(x); }
inline double tanh(double x) noexcept { return std::tanh(x); }
inline double pow(double a, double b) noexcept { return std::pow(a, b); }
inline double atan2(double a, double b) noexcept { return std::atan2(a, b); }
// The exact ones, computed alike in every mode.
inline double sqrt(double x) noexcept { return std::sqrt(x); }
// As the Maximum operation: the first operand at a tie.
inline double maximum(double a, double b) noexcept { return a < b ? b : a; }
// The operations that only derivatives are made of (their rules are below).
// sign(x): -1 below 0, +1 at and above it, both zeros included.
inline double sign(double x) noexcept { return x < 0.0 ? -1.0 : 1.0; }
// step(a, b): 1 where a < b, 1/2 where a == b, 0 where a > b, by comparison
// (no difference that could overflow).
inline double step(double a, double b) noexcept { return a < b ? 1.0 : (a == b ? 0.5 : 0.0); }
// `yes` where `take`, else `no`, chosen by a mask rather than a branch: a
// condition that changes from row to row would be mispredicted half the
// time, and the loops over rows stay vector code.
inline double pick(bool take, double yes, double no) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(take);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(yes) & mask) |
                                 (std::bit_cast<std::uint64_t>(no) & ~mask));
}
// gate(c, v): v where c is not zero, 0 where it is, whatever v is.
inline double gate(double c, double v) noexcept { return pick(c != 0.0, v, 0.0); }
// 1 where x is zero (of either sign), 0 elsewhere, NaN included.
inline double logical_not(double x) noexcept { return x == 0.0 ? 1.0 : 0.0; }

// A stand-in lane that tells, at compile time, whether a rule calls one of
// the vectorised functions above: each of them marks `*called`, the rest of
// the arithmetic passes the mark holder on.
class Probe {
public:
    constexpr Probe() = default;
    constexpr Probe(double) {}  // NOLINT(google-explicit-constructor): as the lane types convert numbers
    constexpr explicit Probe(bool* called) : called_(called) {}

    friend constexpr Probe operator+(const Probe& a, const Probe& b) { return a.with(b); }
    friend constexpr Probe operator-(const Probe& a, const Probe& b) { return a.with(b); }
    friend constexpr Probe operator*(const Probe& a, const Probe& b) { return a.with(b); }
    friend constexpr Probe operator/(const Probe& a, const Probe& b) { return a.with(b); }
    friend constexpr Probe operator-(const Probe& a) { return a; }
    friend constexpr Probe sin(const Probe& x) { return x.marked(); }
    friend constexpr Probe cos(const Probe& x) { return x.marked(); }
    friend constexpr Probe tan(const Probe& x) { return x.marked(); }
    friend constexpr Probe asin(const Probe& x) { return x.marked(); }
    friend constexpr Probe acos(const Probe& x) { return x.marked(); }
    friend constexpr Probe atan(const Probe& x) { return x.marked(); }
    friend constexpr Probe exp(const Probe& x) { return x.marked(); }
    friend constexpr Probe expm1(const Probe& x) { return x.marked(); }
    friend constexpr Probe log(const Probe& x) { return x.marked(); }
    friend constexpr Probe log1p(const Probe& x) { return x.marked(); }
    friend constexpr Probe sinh(const Probe& x) { return x.marked(); }
    friend constexpr Probe cosh(const Probe& x) { return x.marked(); }
    friend constexpr Probe tanh(const Probe& x) { return x.marked(); }
    friend constexpr Probe pow(const Probe& a, const Probe& b) { return a.with(b).marked(); }
    friend constexpr Probe atan2(const Probe& a, const Probe& b) { return a.with(b).marked(); }
    friend constexpr Probe sqrt(const Probe& x) { return x; }
    friend constexpr Probe maximum(const Probe& a, const Probe& b) { return a.with(b); }
    friend constexpr Probe sign(const Probe& x) { return x; }
    friend constexpr Probe step(const Probe& a, const Probe& b) { return a.with(b); }
    friend constexpr Probe gate(const Probe& c, const Probe& v) { return c.with(v); }

private:
    constexpr Probe with(const Probe& other) const { return Probe(called_ != nullptr ? called_ : other.called_); }
    constexpr Probe marked() const {
        if (called_ != nullptr) {
            *called_ = true;
        }
        return *this;
    }
    bool* called_ = nullptr;
};
}  // namespace lane

// A binary rule's two contributions, g * dy/da and g * dy/db.
template <typename T>
struct Partials {
    T a{};
    T b{};
};

// Which of a binary rule's contributions are needed: the reverse sweep takes
// both; a derivative graph only those of operands that lead to the leaves it
// differentiates by.
struct Wanted {
    bool a = true;
    bool b = true;
};

// The rules of one operation.
//
// Unary: forward(x), and derivative(x, y, g), the lane's contribution
// g * dy/dx, which backward(x, y, g, dx) adds into dx; y is the forward
// result, for rules whose exact derivative is cheapest written with it.
// Binary: forward(a, b), and derivative(a, b, y, g, wanted), the
// contributions to a and b, which backward(a, b, y, g, da, db) adds into the
// operand slots, da first; when both operands are one node, da and db are
// one slot and both updates land in it.
// A contribution is linear in g, so that the same rule also carries a
// tangent forward: with g the operand's tangent it is that operand's part of
// the result's tangent.
// The expressions are written exactly as the gradients must round. A
// derivative that is not finite (at a pole, or at the edge of a domain) is
// added as it is, as division by a tiny number always was: only values are
// checked for finiteness, never gradients.
// `flat` (unary) and `flat_a`, `flat_b` (binary): the derivative is zero
// wherever it exists (a step), so the sweep adds nothing and derivative
// graphs leave the operand out.
//
// `keeps_finite`: finite operands always give a finite result, so a result of
// the operation needs no check of its own.
//
// `c_form`: the forward rule as generated C code writes it (generate/), over
// operands `a` and `b`, for a rule whose forward is not written over the lane
// type (one that is, is written in C through the `lane` functions' C names).
// It must round as `forward` does.
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

template <typename Self>
struct BinaryRule {
    static constexpr Shape shape = Shape::Binary;
    static constexpr bool flat_a = false;
    static constexpr bool flat_b = false;
    static void backward(double a, double b, double y, double g, double& da, double& db) noexcept {
        const Partials<double> d = Self::derivative(a, b, y, g, Wanted{!Self::flat_a, !Self::flat_b});
        if constexpr (!Self::flat_a) {
            da = da + d.a;
        }
        if constexpr (!Self::flat_b) {
            db = db + d.b;
        }
    }
};

template <>
struct Rule<ExpressionOp::Add> : BinaryRule<Rule<ExpressionOp::Add>> {
    static constexpr std::string_view name = "Add";
    static constexpr std::string_view c_form = "a + b";
    static constexpr bool keeps_finite = false;  // overflows
    static double forward(double a, double b) noexcept { return a + b; }
    template <typename T>
    static constexpr Partials<T> derivative(const T&, const T&, const T&, const T& g, Wanted) {
        return {g, g};
    }
};

template <>
struct Rule<ExpressionOp::Subtract> : BinaryRule<Rule<ExpressionOp::Subtract>> {
    static constexpr std::string_view name = "Subtract";
    static constexpr std::string_view c_form = "a - b";
    static constexpr bool keeps_finite = false;  // overflows
    // db - g and db + (-g) round alike.
    static double forward(double a, double b) noexcept { return a - b; }
    template <typename T>
    static constexpr Partials<T> derivative(const T&, const T&, const T&, const T& g, Wanted wanted) {
        Partials<T> d{};
        if (wanted.a) {
            d.a = g;
        }
        if (wanted.b) {
            d.b = -g;
        }
        return d;
    }
};

template <>
struct Rule<ExpressionOp::Multiply> : BinaryRule<Rule<ExpressionOp::Multiply>> {
    static constexpr std::string_view name = "Multiply";
    static constexpr std::string_view c_form = "a * b";
    static constexpr bool keeps_finite = false;  // overflows
    static double forward(double a, double b) noexcept { return a * b; }
    template <typename T>
    static constexpr Partials<T> derivative(const T& a, const T& b, const T&, const T& g, Wanted wanted) {
        Partials<T> d{};
        if (wanted.a) {
            d.a = b * g;
        }
        if (wanted.b) {
            d.b = g * a;
        }
        return d;
    }
};

template <>
struct Rule<ExpressionOp::Divide> : BinaryRule<Rule<ExpressionOp::Divide>> {
    static constexpr std::string_view name = "Divide";
    static constexpr std::string_view c_form = "a / b";
    static constexpr bool keeps_finite = false;  // overflows, divides by zero
    // d(a/b) = da / b - (a/b) db / b: the divisor's term is the negated
    // gradient times the quotient, over b, never b squared, which over- or
    // underflows where the quotient and the slope do not (normalizing a
    // vector of 1e-200s). Divided last, not as g (y / b): where y is itself
    // a term over b (v / s / s in the second derivatives of norm), y / b
    // holds 1 / b^2 where the product with g need not.
    static double forward(double a, double b) noexcept { return a / b; }
    template <typename T>
    static constexpr Partials<T> derivative(const T&, const T& b, const T& y, const T& g, Wanted wanted) {
        Partials<T> d{};
        if (wanted.a) {
            d.a = g / b;
        }
        if (wanted.b) {
            d.b = ((-g) * y) / b;
        }
        return d;
    }
};

template <>
struct Rule<ExpressionOp::Pow> : BinaryRule<Rule<ExpressionOp::Pow>> {
    static constexpr std::string_view name = "Pow";
    // Not finite: overflows; a negative base with a fractional exponent; 0 to a negative power.
    static constexpr bool keeps_finite = false;
    // d(a^b) = b a^(b-1) da + a^b ln(a) db. An exponent of 0 has a zero
    // derivative in a (a^0 is 1 everywhere), and a base of 0 a zero derivative
    // in b (0^b is 0 for every b > 0); elsewhere a non-positive base gives
    // ln(a) = NaN or -inf in the exponent's term. Where a gate drops a term,
    // its operands are moved to where they stay finite (a^0 for a^(b-1), ln 1
    // for ln 0), so that the graph of the derivative can be evaluated there.
    // b - 1 may round where b is below 1/2 (or past 2^53), and a^(b-1) magnifies that
    // error e by |ln a| (300 ULP at a = 1e-300, b = 0.3): a^(b-1) is then
    // a^s (1 + e ln|a|), s = b - 1 rounded and e its exact error (the sum's
    // error term), the log's operand kept positive. Where b - 1 is exact, e
    // is 0 and the result is a^s's bits.
    template <typename T>
    static T forward(const T& a, const T& b) noexcept {
        using namespace lane;
        return pow(a, b);
    }
    template <typename T>
    static constexpr Partials<T> derivative(const T& a, const T& b, const T& y, const T& g, Wanted wanted) {
        using namespace lane;
        Partials<T> d{};
        if (wanted.a) {
            const T s = b - 1.0;
            const T back = s - b;
            const T e = (b - (s - back)) + (-1.0 - back);
            const T power = pow(a, gate(b, s)) * (1.0 + gate(e, e * log(maximum(a * sign(a), 0x1p-1074))));
            d.a = gate(b, g * (b * power));
        }
        if (wanted.b) {
            d.b = gate(a, g * (y * log(a + (1.0 - gate(a, 1.0)))));
        }
        return d;
    }
};

template <>
struct Rule<ExpressionOp::Atan2> : BinaryRule<Rule<ExpressionOp::Atan2>> {
    static constexpr std::string_view name = "Atan2";
    static constexpr bool keeps_finite = true;
    // atan2(a, b) is the angle of the point (b, a): d = (b da - a db) / (a^2 + b^2),
    // NaN at the origin, where the angle has no derivative. The point is
    // first scaled by s = max(|a|, |b|) (|x| as x * sign(x), exact), so that
    // the squares lie in [0, 1] and their sum in [1, 2] wherever the slope is
    // a double: a^2 + b^2 itself overflows from 1e154 and vanishes below
    // 1e-162. d/da = (b/s) / r / s with r = (a/s)^2 + (b/s)^2, whatever s is.
    template <typename T>
    static T forward(const T& a, const T& b) noexcept {
        using namespace lane;
        return atan2(a, b);
    }
    template <typename T>
    static constexpr Partials<T> derivative(const T& a, const T& b, const T&, const T& g, Wanted wanted) {
        using namespace lane;
        const T s = maximum(a * sign(a), b * sign(b));
        const T as = a / s;
        const T bs = b / s;
        const T r = as * as + bs * bs;
        Partials<T> d{};
        if (wanted.a) {
            d.a = g * ((bs / r) / s);
        }
        if (wanted.b) {
            d.b = (-g) * ((as / r) / s);
        }
        return d;
    }
};

// A tie gives the first operand, bit for bit: minimum(+0.0, -0.0) is +0.0 and
// minimum(-0.0, +0.0) is -0.0, and so for maximum. A tie splits the gradient
// evenly between the two operands (zeros of either sign included): the mean
// of the one-sided derivatives, as the common AD libraries define it. The share of
// the first operand is step * g (g, g/2 or nothing), gated so that an
// operand that is not chosen gets an exact zero whatever g is.
template <>
struct Rule<ExpressionOp::Minimum> : BinaryRule<Rule<ExpressionOp::Minimum>> {
    static constexpr std::string_view name = "Minimum";
    static constexpr std::string_view c_form = "zk_minimum(a, b)";
    static constexpr bool keeps_finite = true;
    static double forward(double a, double b) noexcept { return b < a ? b : a; }
    template <typename T>
    static constexpr Partials<T> derivative(const T& a, const T& b, const T&, const T& g, Wanted wanted) {
        using namespace lane;
        const T w = step(a, b);
        Partials<T> d{};
        // Each share on its own: g minus a share is NaN for g = inf.
        if (wanted.a) {
            d.a = gate(w, w * g);
        }
        if (wanted.b) {
            const T v = step(b, a);
            d.b = gate(v, v * g);
        }
        return d;
    }
};

template <>
struct Rule<ExpressionOp::Maximum> : BinaryRule<Rule<ExpressionOp::Maximum>> {
    static constexpr std::string_view name = "Maximum";
    static constexpr std::string_view c_form = "zk_maximum(a, b)";
    static constexpr bool keeps_finite = true;
    static double forward(double a, double b) noexcept { return a < b ? b : a; }
    template <typename T>
    static constexpr Partials<T> derivative(const T& a, const T& b, const T&, const T& g, Wanted wanted) {
        using namespace lane;
        const T w = step(b, a);
        Partials<T> d{};
        // Each share on its own: g minus a share is NaN for g = inf.
        if (wanted.a) {
            d.a = gate(w, w * g);
        }
        if (wanted.b) {
            const T v = step(a, b);
            d.b = gate(v, v * g);
        }
        return d;
    }
};

// step(a, b) is constant on either side of a == b: its derivative is zero
// wherever it exists, and it passes nothing back.
template <>
struct Rule<ExpressionOp::Step> : BinaryRule<Rule<ExpressionOp::Step>> {
    static constexpr std::string_view name = "Step";
    static constexpr std::string_view c_form = "zk_step(a, b)";
    static constexpr bool keeps_finite = true;
    static constexpr bool flat_a = true;
    static constexpr bool flat_b = true;
    static double forward(double a, double b) noexcept { return lane::step(a, b); }
    template <typename T>
    static constexpr Partials<T> derivative(const T&, const T&, const T&, const T&, Wanted) {
        return {};
    }
};

// gate(c, v) is v, or 0 where c is 0: flat in c, and in v its gate passes g
// on where c is not 0.
template <>
struct Rule<ExpressionOp::Gate> : BinaryRule<Rule<ExpressionOp::Gate>> {
    static constexpr std::string_view name = "Gate";
    static constexpr std::string_view c_form = "zk_gate(a, b)";
    static constexpr bool keeps_finite = true;
    static constexpr bool flat_a = true;
    static double forward(double c, double v) noexcept { return lane::gate(c, v); }
    template <typename T>
    static constexpr Partials<T> derivative(const T& c, const T&, const T&, const T& g, Wanted wanted) {
        using namespace lane;
        Partials<T> d{};
        if (wanted.b) {
            d.b = gate(c, g);
        }
        return d;
    }
};

// --- comparisons and logic --------------------------------------------------------

// A comparison or a logical operation gives 1.0 or 0.0 on each lane, and is
// constant on either side of where its answer changes: flat in both operands,
// so that it passes nothing back and couples nothing in sparse patterns. A
// lane is true when it is not zero, NaN included (as C and NumPy take it).
template <typename Self>
struct LogicRule : BinaryRule<Self> {
    static constexpr bool keeps_finite = true;
    static constexpr bool flat_a = true;
    static constexpr bool flat_b = true;
    template <typename T>
    static constexpr Partials<T> derivative(const T&, const T&, const T&, const T&, Wanted) {
        return {};
    }
};

constexpr double truth(bool value) noexcept { return static_cast<double>(value); }

template <>
struct Rule<ExpressionOp::Less> : LogicRule<Rule<ExpressionOp::Less>> {
    static constexpr std::string_view name = "Less";
    static constexpr std::string_view c_form = "a < b ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a < b); }
};

template <>
struct Rule<ExpressionOp::LessEqual> : LogicRule<Rule<ExpressionOp::LessEqual>> {
    static constexpr std::string_view name = "LessEqual";
    static constexpr std::string_view c_form = "a <= b ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a <= b); }
};

template <>
struct Rule<ExpressionOp::Greater> : LogicRule<Rule<ExpressionOp::Greater>> {
    static constexpr std::string_view name = "Greater";
    static constexpr std::string_view c_form = "a > b ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a > b); }
};

template <>
struct Rule<ExpressionOp::GreaterEqual> : LogicRule<Rule<ExpressionOp::GreaterEqual>> {
    static constexpr std::string_view name = "GreaterEqual";
    static constexpr std::string_view c_form = "a >= b ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a >= b); }
};

// +0.0 equals -0.0; NaN equals nothing, itself included.
template <>
struct Rule<ExpressionOp::Equal> : LogicRule<Rule<ExpressionOp::Equal>> {
    static constexpr std::string_view name = "Equal";
    static constexpr std::string_view c_form = "a == b ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a == b); }
};

template <>
struct Rule<ExpressionOp::NotEqual> : LogicRule<Rule<ExpressionOp::NotEqual>> {
    static constexpr std::string_view name = "NotEqual";
    static constexpr std::string_view c_form = "a != b ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a != b); }
};

template <>
struct Rule<ExpressionOp::LogicalAnd> : LogicRule<Rule<ExpressionOp::LogicalAnd>> {
    static constexpr std::string_view name = "LogicalAnd";
    static constexpr std::string_view c_form = "a != 0.0 && b != 0.0 ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a != 0.0 && b != 0.0); }
};

template <>
struct Rule<ExpressionOp::LogicalOr> : LogicRule<Rule<ExpressionOp::LogicalOr>> {
    static constexpr std::string_view name = "LogicalOr";
    static constexpr std::string_view c_form = "a != 0.0 || b != 0.0 ? 1.0 : 0.0";
    static double forward(double a, double b) noexcept { return truth(a != 0.0 || b != 0.0); }
};

// --- unary ----------------------------------------------------------------------

template <typename Self>
struct UnaryRule {
    static constexpr Shape shape = Shape::Unary;
    static constexpr bool flat = false;
    static void backward(double x, double y, double g, double& dx) noexcept {
        if constexpr (!Self::flat) {
            dx = dx + Self::derivative(x, y, g);
        }
    }
};

template <>
struct Rule<ExpressionOp::Negate> : UnaryRule<Rule<ExpressionOp::Negate>> {
    static constexpr std::string_view name = "Negate";
    static constexpr std::string_view c_form = "-a";
    static constexpr bool keeps_finite = true;
    // A sign flip, not a subtraction from zero: -(+0.0) is -0.0.
    static double forward(double x) noexcept { return -x; }
    template <typename T>
    static constexpr T derivative(const T&, const T&, const T& g) {
        return -g;
    }
};

template <>
struct Rule<ExpressionOp::Sin> : UnaryRule<Rule<ExpressionOp::Sin>> {
    static constexpr std::string_view name = "Sin";
    static constexpr bool keeps_finite = true;
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return sin(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return cos(x) * g;
    }
};

template <>
struct Rule<ExpressionOp::Cos> : UnaryRule<Rule<ExpressionOp::Cos>> {
    static constexpr std::string_view name = "Cos";
    static constexpr bool keeps_finite = true;
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return cos(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return (-sin(x)) * g;
    }
};

template <>
struct Rule<ExpressionOp::Sqrt> : UnaryRule<Rule<ExpressionOp::Sqrt>> {
    static constexpr std::string_view name = "Sqrt";
    static constexpr std::string_view c_form = "sqrt(a)";
    static constexpr bool keeps_finite = false;  // NaN below 0
    // d sqrt(x) = dx / (2 sqrt(x)): +inf at 0. sqrt(-0) is -0, whose
    // reciprocal would be -inf: the slope at -0 is the slope at 0.
    static double forward(double x) noexcept { return std::sqrt(x); }
    template <typename T>
    static constexpr T derivative(const T&, const T& y, const T& g) {
        // y + 0 is +0 at y = -0 and y itself elsewhere.
        return g * (0.5 / (y + 0.0));
    }
};

template <>
struct Rule<ExpressionOp::Exp> : UnaryRule<Rule<ExpressionOp::Exp>> {
    static constexpr std::string_view name = "Exp";
    static constexpr bool keeps_finite = false;  // overflows above about 709.78
    // d exp(x) = exp(x) dx.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return exp(x);
    }
    template <typename T>
    static constexpr T derivative(const T&, const T& y, const T& g) {
        return g * y;
    }
};

template <>
struct Rule<ExpressionOp::Log> : UnaryRule<Rule<ExpressionOp::Log>> {
    static constexpr std::string_view name = "Log";
    static constexpr bool keeps_finite = false;  // -inf at 0, NaN below
    // d ln(x) = dx / x.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return log(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        return g / x;
    }
};

template <>
struct Rule<ExpressionOp::Log1p> : UnaryRule<Rule<ExpressionOp::Log1p>> {
    static constexpr std::string_view name = "Log1p";
    static constexpr bool keeps_finite = false;  // -inf at -1, NaN below
    // d ln(1 + x) = dx / (1 + x).
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return log1p(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        return g / (1.0 + x);
    }
};

template <>
struct Rule<ExpressionOp::Expm1> : UnaryRule<Rule<ExpressionOp::Expm1>> {
    static constexpr std::string_view name = "Expm1";
    static constexpr bool keeps_finite = false;  // overflows above about 709.78
    // d (exp(x) - 1) = exp(x) dx. Not (y + 1) dx: below -ln 2 the sum
    // cancels the digits that y has (at x = -40 it is 0); exp(x) is within an
    // ULP everywhere, and a piecewise rule would compute it anyway, as a
    // graph evaluates every term.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return expm1(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return g * exp(x);
    }
};

template <>
struct Rule<ExpressionOp::Tanh> : UnaryRule<Rule<ExpressionOp::Tanh>> {
    static constexpr std::string_view name = "Tanh";
    static constexpr bool keeps_finite = true;
    // d tanh(x) = (1 - tanh(x)^2) dx = 4t / (1 + t)^2 dx with t = exp(-2|x|):
    // 1 - y^2 is 0 once y rounds to +-1 (from |x| = 19.1), where the slope is
    // still 1e-16; t lies in [0, 1], so nothing overflows and the slope keeps
    // its digits down to where it underflows. -|x| is held at -400 (t is 0
    // from -373), since -2|x| overflows beyond 9e307, which a gradient graph
    // cannot evaluate.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return tanh(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        const T m = maximum(-(x * sign(x)), -400.0);
        const T t = exp(m + m);
        const T u = 1.0 + t;
        return g * ((4.0 * t) / (u * u));
    }
};

template <>
struct Rule<ExpressionOp::Sinh> : UnaryRule<Rule<ExpressionOp::Sinh>> {
    static constexpr std::string_view name = "Sinh";
    static constexpr bool keeps_finite = false;  // overflows beyond about +-710.48
    // The vectorised sinh overflows from |x| = 709.78, where exp does, short of
    // where the true result does: beyond 709 approximate batches take the
    // exact one.
    static constexpr double vectorised_within = 709.0;
    // d sinh(x) = cosh(x) dx.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return sinh(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return g * cosh(x);
    }
};

template <>
struct Rule<ExpressionOp::Cosh> : UnaryRule<Rule<ExpressionOp::Cosh>> {
    static constexpr std::string_view name = "Cosh";
    static constexpr bool keeps_finite = false;  // overflows beyond about +-710.48
    // The vectorised cosh overflows from |x| = 709.78, where exp does, short of
    // where the true result does: beyond 709 approximate batches take the
    // exact one.
    static constexpr double vectorised_within = 709.0;
    // d cosh(x) = sinh(x) dx.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return cosh(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return g * sinh(x);
    }
};

template <>
struct Rule<ExpressionOp::Tan> : UnaryRule<Rule<ExpressionOp::Tan>> {
    static constexpr std::string_view name = "Tan";
    // Finite for every finite double: no double lies on a pole.
    static constexpr bool keeps_finite = true;
    // d tan(x) = (1 + tan(x)^2) dx.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return tan(x);
    }
    template <typename T>
    static constexpr T derivative(const T&, const T& y, const T& g) {
        return g * (1.0 + y * y);
    }
};

template <>
struct Rule<ExpressionOp::Asin> : UnaryRule<Rule<ExpressionOp::Asin>> {
    static constexpr std::string_view name = "Asin";
    static constexpr bool keeps_finite = false;  // NaN outside [-1, 1]
    // d asin(x) = dx / sqrt(1 - x^2): +inf at +-1. 1 - x^2 as (1 - x)(1 + x),
    // both exact for |x| >= 1/2: x * x rounds away the digits that 1 - x^2
    // keeps near +-1 (8e6 ULP off at 1 - 7e-9).
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return asin(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return g / sqrt((1.0 - x) * (1.0 + x));
    }
};

template <>
struct Rule<ExpressionOp::Acos> : UnaryRule<Rule<ExpressionOp::Acos>> {
    static constexpr std::string_view name = "Acos";
    static constexpr bool keeps_finite = false;  // NaN outside [-1, 1]
    // d acos(x) = -dx / sqrt(1 - x^2): -inf at +-1, with 1 - x^2 as for asin.
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return acos(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return (-g) / sqrt((1.0 - x) * (1.0 + x));
    }
};

template <>
struct Rule<ExpressionOp::Atan> : UnaryRule<Rule<ExpressionOp::Atan>> {
    static constexpr std::string_view name = "Atan";
    static constexpr bool keeps_finite = true;
    // d atan(x) = dx / (1 + x^2) = u^2 / (u^2 + (x/s)^2) dx with s = max(1, |x|)
    // and u = 1/s: for |x| <= 1 that is 1 / (1 + x^2) itself, and beyond no
    // term exceeds 1, where x^2 overflows from 1.3e154 (a tangent's graph
    // that squares x cannot be evaluated there, though the slope is 1e-308).
    template <typename T>
    static T forward(const T& x) noexcept {
        using namespace lane;
        return atan(x);
    }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        const T s = maximum(1.0, x * sign(x));
        const T u = 1.0 / s;
        const T xs = x / s;
        return g * (u * (u / (u * u + xs * xs)));
    }
};

template <>
struct Rule<ExpressionOp::Abs> : UnaryRule<Rule<ExpressionOp::Abs>> {
    static constexpr std::string_view name = "Abs";
    static constexpr std::string_view c_form = "fabs(a)";
    static constexpr bool keeps_finite = true;
    // d |x| = sign(x) dx, taken as +1 at 0 (and at -0); g * -1 is -g exactly.
    static double forward(double x) noexcept { return std::fabs(x); }
    template <typename T>
    static constexpr T derivative(const T& x, const T&, const T& g) {
        using namespace lane;
        return g * sign(x);
    }
};

template <>
struct Rule<ExpressionOp::Cbrt> : UnaryRule<Rule<ExpressionOp::Cbrt>> {
    static constexpr std::string_view name = "Cbrt";
    static constexpr std::string_view c_form = "cbrt(a)";
    static constexpr bool keeps_finite = true;
    // d cbrt(x) = dx / (3 cbrt(x)^2) = (y / x) / 3 dx: +inf at 0 (and -0).
    // y / x carries the rounding of y once, where 1 / (3 y^2) carries it
    // twice (3.4 ULP off at worst, against 7.9); neither over- nor
    // underflows for any double x. At 0, where y / x is 0 / 0, that term is
    // gated away (its divisor moved to 1) and the slope is 1 / (3 y^2) = +inf;
    // elsewhere that second term is an exact 0.
    static double forward(double x) noexcept { return std::cbrt(x); }
    template <typename T>
    static constexpr T derivative(const T& x, const T& y, const T& g) {
        using namespace lane;
        const T at_zero = 1.0 - gate(x, 1.0);
        return g * (gate(x, (y / (x + at_zero)) / 3.0) + at_zero / ((3.0 * y) * y));
    }
};

// sign(x) is constant on either side of 0: its derivative is zero wherever
// it exists, and it passes nothing back.
template <>
struct Rule<ExpressionOp::Sign> : UnaryRule<Rule<ExpressionOp::Sign>> {
    static constexpr std::string_view name = "Sign";
    static constexpr std::string_view c_form = "zk_sign(a)";
    static constexpr bool keeps_finite = true;
    static constexpr bool flat = true;
    static double forward(double x) noexcept { return lane::sign(x); }
    template <typename T>
    static constexpr T derivative(const T&, const T&, const T&) {
        return T{};
    }
};

// 1.0 where a lane is zero (of either sign), 0.0 elsewhere, NaN included:
// flat, as the comparisons are.
template <>
struct Rule<ExpressionOp::LogicalNot> : UnaryRule<Rule<ExpressionOp::LogicalNot>> {
    static constexpr std::string_view name = "LogicalNot";
    static constexpr std::string_view c_form = "a == 0.0 ? 1.0 : 0.0";
    static constexpr bool keeps_finite = true;
    static constexpr bool flat = true;
    static double forward(double x) noexcept { return truth(x == 0.0); }
    template <typename T>
    static constexpr T derivative(const T&, const T&, const T&) {
        return T{};
    }
};

// --- select -----------------------------------------------------------------------

// where(c, a, b): a where c is true (not zero, NaN included), b where c is
// zero, lane by lane. Flat in c; in the branches, g goes to the branch taken
// and an exact zero to the other, whatever g is (gate(c, g) and
// gate(not c, g), never g times 0 or 1, which would be NaN for g = inf).
// A branch that a lane does not take may hold a value that is not finite
// (program.hpp: guarded instructions); the lane taken was checked.
template <>
struct Rule<ExpressionOp::Where> {
    static constexpr std::string_view name = "Where";
    static constexpr Shape shape = Shape::Select;
    static constexpr bool keeps_finite = true;  // picks a lane that was checked
    static double forward(double c, double a, double b) noexcept { return lane::pick(c != 0.0, a, b); }
    template <typename T>
    static constexpr Partials<T> derivative(const T& c, const T& g, Wanted wanted) {
        using namespace lane;
        Partials<T> d{};
        if (wanted.a) {
            d.a = gate(c, g);
        }
        if (wanted.b) {
            d.b = gate(logical_not(c), g);
        }
        return d;
    }
    // When both branches are one node, da and db are one slot and both updates land in it.
    static void backward(double c, double g, double& da, double& db) noexcept {
        const Partials<double> d = derivative(c, g, Wanted{});
        da = da + d.a;
        db = db + d.b;
    }
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

using Operations =
    OperationList<ExpressionOp::Pack, ExpressionOp::Component, ExpressionOp::Add, ExpressionOp::Subtract,
                  ExpressionOp::Multiply, ExpressionOp::Divide, ExpressionOp::Negate, ExpressionOp::Sin,
                  ExpressionOp::Cos, ExpressionOp::Sqrt, ExpressionOp::Exp, ExpressionOp::Log, ExpressionOp::Log1p,
                  ExpressionOp::Expm1, ExpressionOp::Tanh, ExpressionOp::Sinh, ExpressionOp::Cosh, ExpressionOp::Tan,
                  ExpressionOp::Asin, ExpressionOp::Acos, ExpressionOp::Atan, ExpressionOp::Abs, ExpressionOp::Cbrt,
                  ExpressionOp::Sign, ExpressionOp::Pow, ExpressionOp::Atan2, ExpressionOp::Minimum,
                  ExpressionOp::Maximum, ExpressionOp::Step, ExpressionOp::Gate, ExpressionOp::Less,
                  ExpressionOp::LessEqual, ExpressionOp::Greater, ExpressionOp::GreaterEqual, ExpressionOp::Equal,
                  ExpressionOp::NotEqual, ExpressionOp::LogicalAnd, ExpressionOp::LogicalOr, ExpressionOp::LogicalNot,
                  ExpressionOp::Where>;

template <typename R>
struct OpOf;
template <ExpressionOp Op>
struct OpOf<Rule<Op>> {
    static constexpr ExpressionOp value = Op;
};
// The operation a rule belongs to.
template <typename R>
constexpr ExpressionOp rule_op = OpOf<R>::value;

// Whether approximate batches compute an operation with a vectorised kernel
// (approximate.hpp): its forward rule is written over the lane type, with the
// functions of `lane`, and each lane type gives them its own way (the exact
// one, a vectorised kernel, a probe).
template <typename R>
constexpr bool vectorised =
    requires(const lane::Probe& p) { R::forward(p); } || requires(const lane::Probe& p) { R::forward(p, p); };

template <typename R>
consteval bool probe_derivative() {
    bool called = false;
    const lane::Probe p(&called);
    if constexpr (R::shape == Shape::Unary) {
        static_cast<void>(R::derivative(p, p, p));
    } else if constexpr (R::shape == Shape::Binary) {
        static_cast<void>(R::derivative(p, p, p, p, Wanted{}));
    }
    return called;
}

// Whether a rule's derivative calls a vectorised function (sin's cos, pow's
// power and logarithm): approximate sweeps run that rule over lanes whose
// vectorised functions are the kernels.
template <typename R>
constexpr bool vectorised_derivative = probe_derivative<R>();

// Where an operation's vectorised kernel holds: |x| up to this, beyond it the
// exact forward rule.
template <typename R>
consteval double vectorised_limit() {
    if constexpr (requires { R::vectorised_within; }) {
        return R::vectorised_within;
    } else {
        return std::numeric_limits<double>::infinity();
    }
}

// What the list says of every byte, looked up by value.
struct OperationFacts {
    std::array<Shape, 256> shape{};
    std::array<bool, 256> keeps_finite{};
    std::array<bool, 256> vectorised{};
    std::array<double, 256> vectorised_within{};
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
        facts.vectorised[index] = vectorised<R>;
        facts.vectorised_within[index] = vectorised_limit<R>();
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

// where's arithmetic on whole lane vectors, for folding and the reference
// evaluator: the branch taken on each lane; a branch's lane that no lane of
// the condition takes is never read.
SmallValue select_constant(const SmallValue& condition, const SmallValue& first, const SmallValue& second,
                           int dimension);

// The lane-wise arithmetic of the binary and unary operations on whole lane
// vectors, checked for finite lanes: constant folding, and the evaluation of
// graphs whose nodes the builders did not make.
SmallValue binary_constant(ExpressionOp op, const SmallValue& left, const SmallValue& right, int dimension);
SmallValue unary_constant(ExpressionOp op, const SmallValue& operand);

}  // namespace zarnik::symbolic::detail
