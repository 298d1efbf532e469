#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::expect_lanes;
using testing::throws;

TEST(Evaluate, LeavesGiveTheirCurrentValues) {
    expect_lanes(constant(1.0, 2.0).evaluate(), {1.0, 2.0});
    const Value p = parameter(3.0, "p");
    expect_lanes(p.evaluate(), {3.0});
    p.set_value(small_value(4.0));
    expect_lanes(p.evaluate(), {4.0});
}

TEST(Evaluate, ComputesEveryOperation) {
    const Value p = parameter(3.0, "p");
    const Value v = parameter(1.0, 2.0, 3.0, "v");
    const Value s = parameter(2.0, "s");
    const Value a = parameter(0.5, "a");
    const Value b = parameter(-1.5, "b");
    const struct {
        const char* what;
        Value graph;
        SmallValue expected;
    } cases[] = {
        {"p * p", p * p, small_value(9.0)},
        {"v * s", v * s, small_value(2.0, 4.0, 6.0)},
        {"s * v", s * v, small_value(2.0, 4.0, 6.0)},
        {"s - v", s - v, small_value(1.0, 0.0, -1.0)},
        {"v / s", v / s, small_value(0.5, 1.0, 1.5)},
        {"v + v", v + v, small_value(2.0, 4.0, 6.0)},
        {"-v", -v, small_value(-1.0, -2.0, -3.0)},
        {"sin(v)", sin(v), small_value(std::sin(1.0), std::sin(2.0), std::sin(3.0))},
        {"cos(s)", cos(s), small_value(std::cos(2.0))},
        {"vec3(a, b, s)", vec3(a, b, s), small_value(0.5, -1.5, 2.0)},
        {"vec4(a, 1, b, p)", vec4(a, constant(1.0), b, p), small_value(0.5, 1.0, -1.5, 3.0)},
        {"v.z", component(v, 2), small_value(3.0)},
        {"(v * s).y", component(v * s, 1), small_value(4.0)},
        {"vec2(a, b).y", component(vec2(a, b) * 2.0, 1), small_value(-3.0)},
    };
    for (const auto& test : cases) {
        const SmallValue result = test.graph.evaluate();
        EXPECT_EQ(result.dimension, test.expected.dimension) << test.what;
        EXPECT_EQ(result.lanes, test.expected.lanes) << test.what;  // spare lanes stay 0.0
    }
}

TEST(Evaluate, AgreesBitForBitWithFolding) {
    const Value folded = sin(constant(0.3, 1.7) * 3.1) / constant(0.7) - cos(constant(2.9));
    const Value x = parameter(0.3, 1.7, "x");
    const Value y = parameter(0.7, "y");
    const Value z = parameter(2.9, "z");
    const Value evaluated = sin(x * 3.1) / y - cos(z);
    EXPECT_EQ(folded.value().lanes, evaluated.evaluate().lanes);
}

TEST(Evaluate, InputsAreVisitedInIndexOrder) {
    // The first failing node in the order reports: the left operand's subgraph
    // comes before the right one's.
    const Value zero = parameter(0.0, "zero");
    const Value blows_up = parameter(1.0, "one") / zero;
    const Value placeholder = undefined(1, "u");
    EXPECT_TRUE(throws<std::invalid_argument>([&] { (blows_up + placeholder).evaluate(); },
                                              "symbolic value lanes must be finite"));
    EXPECT_TRUE(throws<std::logic_error>([&] { (placeholder + blows_up).evaluate(); },
                                         "cannot evaluate symbolic graph with Undefined values"));
}

TEST(Evaluate, SharedNodesAreComputedOnce) {
    // 2^60 paths through 120 nodes: any walk that follows paths instead of
    // nodes would never finish.
    const Value p = parameter(1.0, "p");
    Value x = p;
    for (int level = 0; level < 60; ++level) {
        const Value halved = x * 0.5;
        x = halved + halved;
    }
    expect_lanes(x.evaluate(), {1.0});
    x.backward();
    expect_lanes(p.grad(), {1.0});
}

TEST(Evaluate, DivisionByAZeroParameterFailsUntilTheParameterChanges) {
    const Value q = parameter(0.0, "q");
    const Value ratio = 1.0 / q;
    EXPECT_TRUE(throws<std::invalid_argument>([&] { ratio.evaluate(); }, "symbolic value lanes must be finite"));
    q.set_value(small_value(4.0));
    expect_lanes(ratio.evaluate(), {0.25});
}

TEST(Evaluate, AnyUndefinedNodeFailsHintOrNot) {
    for (const Value& placeholder : {undefined(2, "u"), undefined_with_hint(1.0, 2.0, "h")}) {
        EXPECT_TRUE(throws<std::logic_error>([&] { placeholder.evaluate(); },
                                             "cannot evaluate symbolic graph with Undefined values"));
        EXPECT_TRUE(throws<std::logic_error>([&] { (sin(placeholder) * parameter(1.0, "p")).evaluate(); },
                                             "cannot evaluate symbolic graph with Undefined values"));
    }
    EXPECT_TRUE(
        throws<std::invalid_argument>([] { Value{}.evaluate(); }, "backward value is not a valid symbolic value"));
}

TEST(Evaluate, WritesNothing) {
    const Value p = parameter(2.0, "p");
    const Value q = parameter(3.0, "q");
    p.mutable_node().grad = small_value(0.5);
    const Value f = p * q;
    f.evaluate();
    f.evaluate();
    expect_lanes(p.grad(), {0.5});
    EXPECT_FALSE(q.has_grad());
    EXPECT_FALSE(f.has_grad());
    expect_lanes(p.value(), {2.0});
}

TEST(Evaluate, RejectsNodesThatTheBuildersNeverMake) {
    const Value s = parameter(1.0, "s");
    const Value v = parameter(1.0, 2.0, "v");
    const testing::FailureCase cases[] = {
        {"Pack of a vector", [&] { make_expression(ExpressionOp::Pack, 2, {s, v, {}, {}}, 2, -1).evaluate(); },
         testing::Thrown::LogicError, "Pack input is not scalar"},
        {"Component beyond its input",
         [&] { make_expression(ExpressionOp::Component, 1, {v, {}, {}, {}}, 1, 2).evaluate(); },
         testing::Thrown::OutOfRange, "symbolic value lane index out of range"},
        {"Component below 0", [&] { make_expression(ExpressionOp::Component, 1, {v, {}, {}, {}}, 1, -1).evaluate(); },
         testing::Thrown::OutOfRange, "symbolic value lane index out of range"},
        {"operation None", [&] { make_expression(ExpressionOp::None, 1, {s, {}, {}, {}}, 1, -1).evaluate(); },
         testing::Thrown::LogicError, "unsupported symbolic expression op"},
        {"unknown operation",
         [&] { make_expression(static_cast<ExpressionOp>(77), 1, {s, {}, {}, {}}, 1, -1).evaluate(); },
         testing::Thrown::LogicError, "unsupported symbolic expression op"},
        {"Add with one input", [&] { make_expression(ExpressionOp::Add, 1, {s, s, {}, {}}, 1, -1).evaluate(); },
         testing::Thrown::OutOfRange, "symbolic expression input index out of range"},
    };
    for (const auto& test : cases) {
        EXPECT_TRUE(throws(test.type, test.call, test.message)) << test.what;
    }
}

}  // namespace
}  // namespace zarnik::symbolic
