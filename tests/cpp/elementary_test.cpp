// The elementary functions, the binary functions and the vector helpers: the
// C library's value on every lane, the same bits from folding, evaluation,
// tapes and functions, failures outside the domain, and derivatives against
// central differences and at the points where a function is not smooth.

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::inf;
using testing::nan;
using testing::same_bits;
using testing::throws;

constexpr const char* not_finite = "symbolic value lanes must be finite";

struct UnaryCase {
    const char* name;
    ExpressionOp op;
    std::function<Value(Value)> build;
    double (*libm)(double);
    std::vector<double> inside;   // values in the domain, away from poles
    std::vector<double> outside;  // values whose result is not finite
};

std::vector<UnaryCase> unary_cases() {
    return {
        {"Sqrt",
         ExpressionOp::Sqrt,
         [](Value v) { return sqrt(v); },
         std::sqrt,
         {0.0, 0.25, 2.0, 1e300},
         {-1.0, -1e-300}},
        {"Exp",
         ExpressionOp::Exp,
         [](Value v) { return exp(v); },
         std::exp,
         {-700.0, -1.5, 0.0, 0.7, 709.0},
         {710.0, 1000.0}},
        {"Log", ExpressionOp::Log, [](Value v) { return log(v); }, std::log, {1e-300, 0.5, 1.0, 3.0}, {0.0, -1.0}},
        {"Log1p",
         ExpressionOp::Log1p,
         [](Value v) { return log1p(v); },
         std::log1p,
         {-0.999, 1e-20, 2.5},
         {-1.0, -2.0}},
        {"Expm1", ExpressionOp::Expm1, [](Value v) { return expm1(v); }, std::expm1, {-50.0, 1e-20, 1.25}, {710.0}},
        {"Tanh", ExpressionOp::Tanh, [](Value v) { return tanh(v); }, std::tanh, {-30.0, -0.5, 0.0, 0.3, 20.0}, {}},
        {"Sinh", ExpressionOp::Sinh, [](Value v) { return sinh(v); }, std::sinh, {-3.0, 0.0, 1.5}, {711.0, -711.0}},
        {"Cosh", ExpressionOp::Cosh, [](Value v) { return cosh(v); }, std::cosh, {-3.0, 0.0, 1.5}, {711.0, -711.0}},
        {"Tan", ExpressionOp::Tan, [](Value v) { return tan(v); }, std::tan, {-1.2, 0.0, 0.4, 1.5}, {}},
        {"Asin", ExpressionOp::Asin, [](Value v) { return asin(v); }, std::asin, {-0.9, 0.0, 0.5}, {1.0000001, -2.0}},
        {"Acos", ExpressionOp::Acos, [](Value v) { return acos(v); }, std::acos, {-0.9, 0.0, 0.5}, {1.0000001, -2.0}},
        {"Atan", ExpressionOp::Atan, [](Value v) { return atan(v); }, std::atan, {-1e10, -0.5, 0.0, 2.0}, {}},
        {"Abs", ExpressionOp::Abs, [](Value v) { return abs(v); }, std::fabs, {-2.5, -0.0, 0.75}, {}},
        {"Cbrt", ExpressionOp::Cbrt, [](Value v) { return cbrt(v); }, std::cbrt, {-27.0, -0.0, 1e-310, 2.0}, {}},
        {"LogicalNot",
         ExpressionOp::LogicalNot,
         [](Value v) { return logical_not(v); },
         [](double x) { return x == 0.0 ? 1.0 : 0.0; },
         {-2.0, -0.0, 5e-324, 0.0, 3.0},
         {}},
    };
}

struct BinaryCase {
    const char* name;
    ExpressionOp op;
    std::function<Value(Value, Value)> build;
    double (*libm)(double, double);
    std::vector<std::pair<double, double>> inside;
    std::vector<std::pair<double, double>> outside;
};

double smaller(double a, double b) { return b < a ? b : a; }
double larger(double a, double b) { return a < b ? b : a; }
double truth(bool holds) { return holds ? 1.0 : 0.0; }

std::vector<BinaryCase> binary_cases() {
    return {
        {"Pow",
         ExpressionOp::Pow,
         [](Value a, Value b) { return pow(a, b); },
         std::pow,
         {{2.0, 0.5}, {-2.0, 3.0}, {0.5, -2.0}, {3.0, 0.0}},
         {{-2.0, 0.5}, {0.0, -1.0}, {10.0, 400.0}}},
        {"Atan2",
         ExpressionOp::Atan2,
         [](Value a, Value b) { return atan2(a, b); },
         std::atan2,
         {{1.0, 1.0}, {-0.5, -2.0}, {0.0, 3.0}, {2.0, 0.0}},
         {}},
        {"Minimum",
         ExpressionOp::Minimum,
         [](Value a, Value b) { return minimum(a, b); },
         smaller,
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}},
         {}},
        {"Maximum",
         ExpressionOp::Maximum,
         [](Value a, Value b) { return maximum(a, b); },
         larger,
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}},
         {}},
        {"Less",
         ExpressionOp::Less,
         [](Value a, Value b) { return less(a, b); },
         [](double a, double b) { return truth(a < b); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
        {"LessEqual",
         ExpressionOp::LessEqual,
         [](Value a, Value b) { return less_equal(a, b); },
         [](double a, double b) { return truth(a <= b); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
        {"Greater",
         ExpressionOp::Greater,
         [](Value a, Value b) { return greater(a, b); },
         [](double a, double b) { return truth(a > b); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
        {"GreaterEqual",
         ExpressionOp::GreaterEqual,
         [](Value a, Value b) { return greater_equal(a, b); },
         [](double a, double b) { return truth(a >= b); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
        {"Equal",
         ExpressionOp::Equal,
         [](Value a, Value b) { return equal(a, b); },
         [](double a, double b) { return truth(a == b); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
        {"NotEqual",
         ExpressionOp::NotEqual,
         [](Value a, Value b) { return not_equal(a, b); },
         [](double a, double b) { return truth(a != b); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
        {"LogicalAnd",
         ExpressionOp::LogicalAnd,
         [](Value a, Value b) { return logical_and(a, b); },
         [](double a, double b) { return truth(a != 0.0 && b != 0.0); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
        {"LogicalOr",
         ExpressionOp::LogicalOr,
         [](Value a, Value b) { return logical_or(a, b); },
         [](double a, double b) { return truth(a != 0.0 || b != 0.0); },
         {{1.0, 2.0}, {2.0, -1.0}, {0.5, 0.5}, {-0.0, 0.0}, {0.0, 3.0}},
         {}},
    };
}

// The value of `output` at `at`, computed by every route the library has.
void expect_every_route_gives(const Value& output, const Value& input, double at, double expected) {
    input.set_value(small_value(at));
    EXPECT_TRUE(same_bits(output.evaluate()[0], expected)) << output.debug_string() << " at " << at;
    EXPECT_TRUE(same_bits(Tape(output).evaluate()[0], expected));
    const Function f({input}, {output});
    EXPECT_TRUE(same_bits(f({small_value(at)})[0][0], expected));
    double row = 0.0;
    const double* rows[] = {&at};
    double* outputs[] = {&row};
    f.evaluate_rows(1, rows, outputs);
    EXPECT_TRUE(same_bits(row, expected));
}

// The derivative of `output` at the current value of the scalar `input`, by backward.
double derivative(const Value& output, const Value& input) {
    input.zero_grad();
    output.backward();
    const double d = input.grad()[0];
    input.zero_grad();
    return d;
}

double central_difference(const Value& output, const Value& input, double at) {
    const double h = 1e-6 * std::max(1.0, std::fabs(at));
    input.set_value(small_value(at + h));
    const double up = output.evaluate()[0];
    input.set_value(small_value(at - h));
    const double down = output.evaluate()[0];
    input.set_value(small_value(at));
    return (up - down) / (2 * h);
}

TEST(Elementary, UnaryFunctionsGiveTheCLibrarysBitsByEveryRouteAndFailOutsideTheirDomain) {
    for (const UnaryCase& c : unary_cases()) {
        SCOPED_TRACE(c.name);
        const Value p = parameter(1.0, "p");
        const Value y = c.build(p);
        EXPECT_EQ(y.op(), c.op);
        EXPECT_STREQ(to_string(y.op()), c.name);
        EXPECT_EQ(y.debug_string(), "Expression<1>#" + std::to_string(y.id()) + " op=" + c.name);
        for (const double x : c.inside) {
            const double expected = c.libm(x);
            expect_every_route_gives(y, p, x, expected);
            const Value folded = c.build(constant(x));
            ASSERT_TRUE(folded.is_constant());
            EXPECT_TRUE(same_bits(folded.value()[0], expected));
        }
        for (const double x : c.outside) {
            EXPECT_TRUE(throws<std::invalid_argument>([&] { c.build(constant(x)); }, not_finite)) << x;
            p.set_value(small_value(x));
            EXPECT_TRUE(throws<std::invalid_argument>([&] { y.evaluate(); }, not_finite)) << x;
            EXPECT_TRUE(throws<std::invalid_argument>([&] { y.backward(); }, not_finite)) << x;
            EXPECT_FALSE(p.has_grad());
        }
        // Lane by lane over a vector, each lane its own value.
        const Value v = parameter(c.inside.front(), c.inside.back(), "v");
        const SmallValue lanes = c.build(v).evaluate();
        EXPECT_TRUE(same_bits(lanes[0], c.libm(c.inside.front())));
        EXPECT_TRUE(same_bits(lanes[1], c.libm(c.inside.back())));
    }
}

TEST(Elementary, UnaryDerivativesAgreeWithCentralDifferences) {
    for (const UnaryCase& c : unary_cases()) {
        SCOPED_TRACE(c.name);
        const Value p = parameter(1.0, "p");
        const Value y = c.build(p);
        for (const double x : {-0.6, 0.3, 0.8}) {
            if (!std::isfinite(c.libm(x)) || std::isnan(c.libm(x - 1e-6)) || std::isnan(c.libm(x + 1e-6))) {
                continue;  // outside the domain
            }
            p.set_value(small_value(x));
            const double numeric = central_difference(y, p, x);
            EXPECT_NEAR(derivative(y, p), numeric, 1e-7 * std::max(1.0, std::fabs(numeric))) << x;
        }
    }
}

TEST(Elementary, BinaryFunctionsGiveTheCLibrarysBitsBroadcastAndFailOutsideTheirDomain) {
    for (const BinaryCase& c : binary_cases()) {
        SCOPED_TRACE(c.name);
        const Value a = parameter(1.0, "a");
        const Value b = parameter(1.0, "b");
        const Value y = c.build(a, b);
        EXPECT_STREQ(to_string(y.op()), c.name);
        for (const auto& [x, z] : c.inside) {
            const double expected = c.libm(x, z);
            a.set_value(small_value(x));
            expect_every_route_gives(y, b, z, expected);
            EXPECT_TRUE(same_bits(c.build(constant(x), constant(z)).value()[0], expected));
        }
        for (const auto& [x, z] : c.outside) {
            EXPECT_TRUE(throws<std::invalid_argument>([&] { c.build(constant(x), constant(z)); }, not_finite));
            a.set_value(small_value(x));
            b.set_value(small_value(z));
            EXPECT_TRUE(throws<std::invalid_argument>([&] { y.evaluate(); }, not_finite));
        }
        // A scalar broadcasts over a vector on either side; other dimensions must agree.
        const auto [x0, z0] = c.inside.front();
        const auto [x1, z1] = c.inside.back();
        const SmallValue left = c.build(parameter(x0, x1, "v"), constant(z0)).evaluate();
        EXPECT_TRUE(same_bits(left[1], c.libm(x1, z0)));
        const SmallValue right = c.build(constant(x0), parameter(z0, z1, "v")).evaluate();
        EXPECT_TRUE(same_bits(right[1], c.libm(x0, z1)));
        EXPECT_TRUE(
            throws<std::invalid_argument>([&] { c.build(parameter(1.0, 2.0, "v"), parameter(1.0, 2.0, 3.0, "w")); },
                                          "cannot combine symbolic values with dimensions 2 and 3"));
    }
}

TEST(Elementary, BinaryDerivativesAgreeWithCentralDifferences) {
    for (const BinaryCase& c : binary_cases()) {
        SCOPED_TRACE(c.name);
        for (const auto& [x, z] : {std::pair{1.5, 0.7}, std::pair{0.4, -1.3}, std::pair{2.0, 3.0}}) {
            const Value a = parameter(x, "a");
            const Value b = parameter(z, "b");
            const Value y = c.build(a, b);
            EXPECT_NEAR(derivative(y, a), central_difference(y, a, x),
                        1e-7 * std::max(1.0, std::fabs(derivative(y, a))));
            EXPECT_NEAR(derivative(y, b), central_difference(y, b, z),
                        1e-7 * std::max(1.0, std::fabs(derivative(y, b))));
        }
    }
}

// The derivatives chosen where a function is not smooth, by every route that
// differentiates: backward, a tape and a function's Jacobian.
TEST(Elementary, DerivativesWhereAFunctionIsNotSmooth) {
    struct Case {
        const char* what;
        std::function<Value(Value, Value)> build;
        double a, b;
        double da, db;
    };
    const std::vector<Case> cases = {
        {"abs at 0 is +1", [](Value a, Value) { return abs(a); }, 0.0, 1.0, 1.0, 0.0},
        {"abs at -0 is +1", [](Value a, Value) { return abs(a); }, -0.0, 1.0, 1.0, 0.0},
        {"minimum at a tie shares evenly", [](Value a, Value b) { return minimum(a, b); }, 2.0, 2.0, 0.5, 0.5},
        {"maximum at a tie shares evenly", [](Value a, Value b) { return maximum(a, b); }, 2.0, 2.0, 0.5, 0.5},
        {"the smaller operand of a maximum gets nothing, even of an infinite gradient",
         [](Value a, Value b) { return sqrt(maximum(a, b)); }, 0.0, -1.0, inf, 0.0},
        {"sqrt at 0 is +inf", [](Value a, Value) { return sqrt(a); }, 0.0, 1.0, inf, 0.0},
        {"sqrt at -0 is +inf, as at 0", [](Value a, Value) { return sqrt(a); }, -0.0, 1.0, inf, 0.0},
        {"pow with exponent 0 has no slope in the base", [](Value a, Value b) { return pow(a, b); }, 0.0, 0.0, 0.0,
         0.0},
        {"pow with base 0 has no slope in the exponent", [](Value a, Value b) { return pow(a, b); }, 0.0, 2.0, 0.0,
         0.0},
        {"pow of a negative base has a NaN slope in the exponent", [](Value a, Value b) { return pow(a, b); }, -2.0,
         2.0, -4.0, nan},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Value a = parameter(c.a, "a");
        const Value b = parameter(c.b, "b");
        const Value y = c.build(a, b) + a * 0.0 + b * 0.0;  // both reached, whatever the function reads
        y.backward();
        EXPECT_TRUE(same_bits(a.grad()[0], c.da) || (std::isnan(c.da) && std::isnan(a.grad()[0]))) << a.grad()[0];
        EXPECT_TRUE(same_bits(b.grad()[0], c.db) || (std::isnan(c.db) && std::isnan(b.grad()[0]))) << b.grad()[0];
        std::vector<double> jacobian(2);
        Function({a, b}, {y}).jacobian({small_value(c.a), small_value(c.b)}, jacobian);
        EXPECT_TRUE(same_bits(jacobian[0], a.grad()[0]) || std::isnan(c.da));
        EXPECT_TRUE(same_bits(jacobian[1], b.grad()[0]) || std::isnan(c.db));
    }
}

TEST(Elementary, NewCodesLeaveTheUnnamedBytesUnknown) {
    for (int byte = 0; byte < 256; ++byte) {
        const std::string name = to_string(static_cast<ExpressionOp>(byte));
        const bool named = byte <= 9 || (byte >= 16 && byte <= 31) || (byte >= 32 && byte <= 45) || byte == 64;
        EXPECT_EQ(name == "Unknown", !named) << byte;
    }
}

TEST(VectorHelpers, ValuesFoldingAndFailures) {
    const Value v = parameter(3.0, 4.0, "v");
    const Value w = parameter(1.0, 2.0, "w");
    testing::expect_lanes(sum(parameter(1.0, 2.0, 3.0, 4.0, "s")).evaluate(), {10.0});
    testing::expect_lanes(sum(parameter(5.0, "s")).evaluate(), {5.0});
    testing::expect_lanes(dot(v, w).evaluate(), {11.0});
    testing::expect_lanes(squared_norm(v).evaluate(), {25.0});
    testing::expect_lanes(norm(v).evaluate(), {5.0});
    testing::expect_lanes(normalize(v).evaluate(), {0.6, 0.8});
    testing::expect_lanes(cross(parameter(1.0, 0.0, 0.0, "x"), constant(0.0, 1.0, 0.0)).evaluate(), {0.0, 0.0, 1.0});
    testing::expect_lanes(cross(parameter(1.0, 2.0, 3.0, "a"), constant(4.0, 5.0, 6.0)).evaluate(), {-3.0, 6.0, -3.0});

    // Built from constants, they fold to constants.
    EXPECT_TRUE(norm(constant(3.0, 4.0)).is_constant());
    EXPECT_TRUE(cross(constant(1.0, 0.0, 0.0), constant(0.0, 1.0, 0.0)).is_constant());

    // The gradient of the length is the direction.
    norm(v).backward();
    EXPECT_NEAR(v.grad()[0], 0.6, 1e-15);
    EXPECT_NEAR(v.grad()[1], 0.8, 1e-15);

    const std::vector<testing::FailureCase> failures = {
        {"dot of 2 and 3 lanes", [] { dot(parameter(1.0, 2.0, "a"), parameter(1.0, 2.0, 3.0, "b")); },
         testing::Thrown::InvalidArgument, "dot needs symbolic values of one dimension, not 2 and 3"},
        {"cross of 2 lanes", [] { cross(parameter(1.0, 2.0, "a"), parameter(1.0, 2.0, "b")); },
         testing::Thrown::InvalidArgument, "cross needs two symbolic values of 3 lanes, not 2 and 2"},
        {"sum of an empty handle", [] { sum(Value{}); }, testing::Thrown::InvalidArgument,
         "sum operand is not a valid symbolic value"},
        {"norm of an empty handle names norm", [] { norm(Value{}); }, testing::Thrown::InvalidArgument,
         "norm operand is not a valid symbolic value"},
        {"normalize of the zero vector", [] { normalize(parameter(0.0, 0.0, "z")).evaluate(); },
         testing::Thrown::InvalidArgument, not_finite},
    };
    for (const testing::FailureCase& f : failures) {
        EXPECT_TRUE(throws(f.type, f.call, f.message)) << f.what;
    }
}

}  // namespace
}  // namespace zarnik::symbolic
