#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::expect_lanes;
using testing::throws;

using testing::inf;
using testing::nan;

struct GradientCase {
    const char* what;
    std::function<Value(const std::vector<Value>&)> build;
    std::vector<SmallValue> parameters;
    std::optional<SmallValue> seed;
    std::vector<SmallValue> grads;
};

TEST(Backward, FollowsEveryDerivativeRule) {
    const GradientCase cases[] = {
        {"p", [](auto& p) { return p[0]; }, {small_value(3.0)}, {}, {small_value(1.0)}},
        {"p * p", [](auto& p) { return p[0] * p[0]; }, {small_value(3.0)}, {}, {small_value(6.0)}},
        {"p + p", [](auto& p) { return p[0] + p[0]; }, {small_value(3.0)}, {}, {small_value(2.0)}},
        {"p * q + p",
         [](auto& p) { return p[0] * p[1] + p[0]; },
         {small_value(2.0), small_value(5.0)},
         {},
         {small_value(6.0), small_value(2.0)}},
        {"p - q",
         [](auto& p) { return p[0] - p[1]; },
         {small_value(2.0), small_value(5.0)},
         {},
         {small_value(1.0), small_value(-1.0)}},
        {"p / q",
         [](auto& p) { return p[0] / p[1]; },
         {small_value(1.0), small_value(2.0)},
         {},
         {small_value(0.5), small_value(-0.25)}},
        // The square of q underflows to zero; gradients are not checked for finiteness.
        {"p / tiny q",
         [](auto& p) { return p[0] / p[1]; },
         {small_value(1.0), small_value(1e-200)},
         {},
         {small_value(1e200), SmallValue{1, {-inf, 0.0, 0.0, 0.0}}}},
        {"-p", [](auto& p) { return -p[0]; }, {small_value(3.0)}, {}, {small_value(-1.0)}},
        {"sin(p) at 0", [](auto& p) { return sin(p[0]); }, {small_value(0.0)}, {}, {small_value(1.0)}},
        {"cos(p) at 0", [](auto& p) { return cos(p[0]); }, {small_value(0.0)}, {}, {small_value(0.0)}},
        {"sin(p) * 3 at 1",
         [](auto& p) { return sin(p[0]) * 3.0; },
         {small_value(1.0)},
         {},
         {small_value(std::cos(1.0) * 3.0)}},
        {"cos(v) with seed",
         [](auto& p) { return cos(p[0]); },
         {small_value(1.0, 2.0)},
         small_value(2.0, 3.0),
         {small_value(-std::sin(1.0) * 2.0, -std::sin(2.0) * 3.0)}},
        {"s * v broadcasts into the scalar",
         [](auto& p) { return p[0] * p[1]; },
         {small_value(2.0), small_value(1.0, 2.0, 3.0)},
         small_value(1.0, 1.0, 1.0),
         {small_value(6.0), small_value(2.0, 2.0, 2.0)}},
        {"v / s",
         [](auto& p) { return p[0] / p[1]; },
         {small_value(2.0, 4.0), small_value(2.0)},
         small_value(1.0, 1.0),
         {small_value(0.5, 0.5), small_value(-1.5)}},
        {"s - v",
         [](auto& p) { return p[0] - p[1]; },
         {small_value(1.0), small_value(1.0, 1.0, 1.0, 1.0)},
         small_value(1.0, 2.0, 3.0, 4.0),
         {small_value(10.0), small_value(-1.0, -2.0, -3.0, -4.0)}},
        {"component 1 of v",
         [](auto& p) { return component(p[0], 1); },
         {small_value(1.0, 2.0, 3.0)},
         {},
         {small_value(0.0, 1.0, 0.0)}},
        {"vec2(p, q) with seed",
         [](auto& p) { return vec2(p[0], p[1]); },
         {small_value(1.0), small_value(1.0)},
         small_value(2.0, 5.0),
         {small_value(2.0), small_value(5.0)}},
    };
    for (const GradientCase& test : cases) {
        SCOPED_TRACE(test.what);
        std::vector<Value> params;
        for (const SmallValue& value : test.parameters) {
            params.push_back(parameter(value, "p"));
        }
        const Value output = test.build(params);
        if (test.seed) {
            output.backward(*test.seed);
        } else {
            output.backward();
        }
        for (std::size_t i = 0; i < params.size(); ++i) {
            ASSERT_TRUE(params[i].has_grad());
            EXPECT_EQ(params[i].grad().dimension, test.grads[i].dimension);
            EXPECT_EQ(params[i].grad().lanes, test.grads[i].lanes) << "parameter " << i;
        }
        if (!output.is_parameter()) {
            EXPECT_FALSE(output.has_grad());
        }
    }
}

TEST(Backward, AccumulatesUntilZeroGrad) {
    const Value p = parameter(3.0, "p");
    p.backward();
    expect_lanes(p.grad(), {1.0});
    p.backward();
    expect_lanes(p.grad(), {2.0});
    p.zero_grad();
    EXPECT_FALSE(p.has_grad());
    p.backward();
    expect_lanes(p.grad(), {1.0});

    // Changing the value leaves the gradient; a second graph adds to it.
    p.set_value(small_value(5.0));
    expect_lanes(p.grad(), {1.0});
    (p * p).backward();
    expect_lanes(p.grad(), {11.0});
}

TEST(Backward, OnlyParametersReceiveGradients) {
    const Value c = constant(2.0);
    const Value p = parameter(3.0, "p");
    const Value product = c * p;
    const Value out = sin(product) + vec2(p, c).node().inputs[0];
    for (int pass = 0; pass < 3; ++pass) {
        out.backward();
    }
    EXPECT_FALSE(c.has_grad());
    EXPECT_FALSE(product.has_grad());
    EXPECT_FALSE(out.has_grad());
    EXPECT_TRUE(p.has_grad());

    // Backward over constants only changes nothing and fails nothing.
    const Value folded = constant(1.0) * constant(2.0);
    EXPECT_NO_THROW(folded.backward());
    EXPECT_NO_THROW(constant(3.0).backward());
    EXPECT_FALSE(folded.has_grad());
}

TEST(ZeroGrad, ClearsOnlyTheParametersBelow) {
    const Value p = parameter(1.0, "p");
    const Value q = parameter(2.0, "q");
    const Value other = parameter(3.0, "other");
    (p * q + other).backward();
    (p * q).zero_grad();
    EXPECT_FALSE(p.has_grad());
    EXPECT_FALSE(q.has_grad());
    ASSERT_TRUE(other.has_grad());
    expect_lanes(other.grad(), {1.0});
}

// Failures leave every gradient exactly as it was.
TEST(Backward, FailuresChangeNothing) {
    const Value p = parameter(1.0, "p");
    const Value v = parameter(1.0, 2.0, 3.0, "v");
    const Value zero = parameter(0.0, "zero");
    p.backward();
    (v * 2.0).backward(small_value(1.0, 1.0, 1.0));
    const Value s = parameter(1.0, "s");
    SmallValue bad_dimension = small_value(1.0);
    bad_dimension.dimension = 0;
    const SmallValue nan_seed{1, {nan, 0, 0, 0}};
    // A Pack node with more inputs than lanes: its gradient has no lane for the third.
    const Value odd_pack = make_expression(ExpressionOp::Pack, 2, {p, s, p * 2.0, {}}, 3, -1);

    const testing::FailureCase cases[] = {
        {"no seed on a vector", [&] { (v * p).backward(); }, testing::Thrown::InvalidArgument,
         "backward() without seed requires scalar output"},
        {"seed of another dimension", [&] { (v * p).backward(small_value(1.0, 1.0)); },
         testing::Thrown::InvalidArgument, "backward seed dimension does not match output dimension"},
        {"NaN seed", [&] { (p * s).backward(nan_seed); }, testing::Thrown::InvalidArgument,
         "symbolic value lanes must be finite"},
        {"seed of dimension 0", [&] { (p * s).backward(bad_dimension); }, testing::Thrown::InvalidArgument,
         "symbolic value dimension must be in 1..4"},
        {"empty handle with seed", [&] { Value{}.backward(small_value(1.0)); }, testing::Thrown::InvalidArgument,
         "backward value is not a valid symbolic value"},
        {"empty handle without seed", [&] { Value{}.backward(); }, testing::Thrown::LogicError,
         "invalid symbolic value handle"},
        {"Undefined below", [&] { (p * v + undefined(3, "u")).backward(small_value(1.0, 1.0, 1.0)); },
         testing::Thrown::LogicError, "cannot evaluate symbolic graph with Undefined values"},
        {"division by zero", [&] { (p * s / zero).backward(); }, testing::Thrown::InvalidArgument,
         "symbolic value lanes must be finite"},
        {"gradient lane missing in the sweep", [&] { (odd_pack * p).backward(small_value(1.0, 1.0)); },
         testing::Thrown::OutOfRange, "symbolic value lane index out of range"},
    };
    for (const auto& test : cases) {
        EXPECT_TRUE(throws(test.type, test.call, test.message)) << test.what;
        expect_lanes(p.grad(), {1.0});
        expect_lanes(v.grad(), {2.0, 2.0, 2.0});
        EXPECT_FALSE(s.has_grad()) << test.what;
        EXPECT_FALSE(zero.has_grad()) << test.what;
    }
    EXPECT_TRUE(
        throws<std::invalid_argument>([] { Value{}.zero_grad(); }, "backward value is not a valid symbolic value"));
}

TEST(ZeroGrad, WorksOnGraphsThatCannotBeEvaluated) {
    const Value p = parameter(1.0, "p");
    p.backward();
    const Value graph = p * undefined(1, "u");
    EXPECT_ANY_THROW(graph.backward());
    expect_lanes(p.grad(), {1.0});
    graph.zero_grad();
    EXPECT_FALSE(p.has_grad());
}

}  // namespace
}  // namespace zarnik::symbolic
