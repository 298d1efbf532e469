// Compiled tapes keep the contract of the value's own calls: the same lanes,
// the same failures, the same gradients, bit for bit.

#include <optional>
#include <string>

#include "random_graphs.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::expect_lanes;
using testing::throws;

using Outcome = testing::Outcome<SmallValue>;
using testing::outcome_of;
using testing::same_bits;

void expect_same(const Outcome& tape, const Outcome& value, const std::string& what) {
    EXPECT_EQ(tape, value) << what << ": " << tape.thrown << " / " << value.thrown;
}

std::vector<std::optional<SmallValue>> gradients(const std::vector<Value>& parameters) {
    std::vector<std::optional<SmallValue>> all;
    for (const Value& p : parameters) {
        all.push_back(p.has_grad() ? std::optional(p.grad()) : std::nullopt);
    }
    return all;
}

void expect_same_gradients(const std::vector<Value>& parameters, const std::vector<std::optional<SmallValue>>& expected,
                           const std::string& what) {
    const auto actual = gradients(parameters);
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_EQ(actual[i].has_value(), expected[i].has_value()) << what << ", parameter " << i;
        if (actual[i]) {
            EXPECT_TRUE(same_bits(*actual[i], *expected[i])) << what << ", parameter " << i;
        }
    }
}

// Evaluates, differentiates twice (gradients accumulate) and clears, through
// the value and through its tape, and compares every step.
void compare_on(const Value& output, const std::vector<Value>& parameters, const std::string& what) {
    const Tape tape(output);
    expect_same(outcome_of([&] { return tape.evaluate(); }), outcome_of([&] { return output.evaluate(); }), what);
    SmallValue seed = small_value(1.0);
    seed.dimension = output.dimension();
    for (std::size_t i = 0; i < 4; ++i) {
        seed.lanes[i] = 0.25 * static_cast<double>(i + 1);
    }
    output.zero_grad();
    for (int pass = 0; pass < 2; ++pass) {
        const Outcome by_value = outcome_of([&] {
            output.backward(seed);
            return output.evaluate();
        });
        const auto expected = gradients(parameters);
        // Back to where the value's pass started, then the tape's pass.
        output.zero_grad();
        for (int again = 0; again < pass; ++again) {
            outcome_of([&] {
                output.backward(seed);
                return seed;
            });
        }
        const Outcome by_tape = outcome_of([&] { return tape.backward(seed); });
        expect_same(by_tape, by_value, what + ", backward");
        expect_same_gradients(parameters, expected, what + ", backward");
    }
    tape.zero_grad();
    for (const Value& p : parameters) {
        EXPECT_FALSE(p.has_grad()) << what;
    }
}

TEST(Tape, AgreesWithTheValueOnRandomGraphs) {
    testing::RandomGraphMaker maker(424242);
    for (int round = 0; round < 300; ++round) {
        const testing::RandomGraph g = maker.make(10, round % 3 == 0);
        compare_on(g.output, g.parameters, "round " + std::to_string(round));
    }
}

// Large enough that evaluation hands the lanes of dead results to later ones.
TEST(Tape, AgreesWithTheValueOnLargeRandomGraphs) {
    testing::RandomGraphMaker maker(777);
    for (int round = 0; round < 20; ++round) {
        const testing::RandomGraph g = maker.make(400, round % 4 == 0);
        compare_on(g.output, g.parameters, "large round " + std::to_string(round));
    }
}

TEST(Tape, AgreesOnNodesThatBreakTheBuildersInvariants) {
    const Value p = parameter(1.0, 2.0, "p");
    const Value s = parameter(3.0, "s");
    const Value odd[] = {
        make_expression(ExpressionOp::Add, 4, {p, p, {}, {}}, 2, -1),
        make_expression(ExpressionOp::Add, 1, {s, s, p, {}}, 3, -1) * s,
        make_expression(ExpressionOp::Pack, 2, {s, s, s, {}}, 3, -1),
        make_expression(ExpressionOp::Sin, 3, {p, {}, {}, {}}, 1, -1),
        make_expression(ExpressionOp::Component, 1, {p, {}, {}, {}}, 1, 5),
        make_expression(ExpressionOp::None, 1, {s, {}, {}, {}}, 1, -1),
    };
    for (const Value& output : odd) {
        compare_on(output, {p, s}, output.debug_string());
    }
}

TEST(Tape, ReadsTheParametersAtEveryCall) {
    const Value p = parameter(2.0, "p");
    const Value q = parameter(0.5, 1.5, "q");
    const Value y = sin(p * q) + q / p;
    const Tape tape(y);
    p.set_value(small_value(0.0));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { tape.evaluate(); }, "symbolic value lanes must be finite"));
    EXPECT_FALSE(p.has_grad());
    p.set_value(small_value(-3.0));
    EXPECT_TRUE(same_bits(tape.evaluate(), y.evaluate()));
    const SmallValue returned = tape.backward(small_value(1.0, 1.0));
    EXPECT_TRUE(same_bits(returned, y.evaluate()));
    ASSERT_TRUE(p.has_grad() && q.has_grad());
}

TEST(Tape, KnowsItsGraph) {
    const Value a = parameter(1.0, "a");
    const Value b = parameter(2.0, "b");
    const Value x = constant(3.0);
    const Value y = (a * x + b) * (a * x + b);
    const Tape tape(y);
    ASSERT_EQ(tape.parameters().size(), 2U);
    EXPECT_TRUE(tape.parameters()[0].same_node(a));
    EXPECT_TRUE(tape.parameters()[1].same_node(b));
    EXPECT_TRUE(tape.output().same_node(y));
    // a, x, b, two products a * x and two sums made apart, and the square: 8 nodes.
    EXPECT_EQ(tape.size(), 8U);
    EXPECT_GT(tape.memory_bytes(), 0U);
    // The tape keeps the graph alive after every other handle is gone.
    std::optional<Tape> kept;
    {
        const Value temporary = sin(parameter(0.5, "t"));
        kept.emplace(temporary);
    }
    expect_lanes(kept->evaluate(), {std::sin(0.5)});
}

TEST(Tape, FailsAsTheValueDoes) {
    const Value v = parameter(1.0, 2.0, "v");
    const Tape vector_tape(v * 2.0);
    const testing::FailureCase cases[] = {
        {"an empty handle", [] { Tape{Value{}}; }, testing::Thrown::InvalidArgument,
         "backward value is not a valid symbolic value"},
        {"no seed on a vector", [&] { vector_tape.backward(); }, testing::Thrown::InvalidArgument,
         "backward() without seed requires scalar output"},
        {"a seed of another dimension", [&] { vector_tape.backward(small_value(1.0)); },
         testing::Thrown::InvalidArgument, "backward seed dimension does not match output dimension"},
        {"an Undefined below", [&] { Tape(v + undefined(2, "u")).evaluate(); }, testing::Thrown::LogicError,
         "cannot evaluate symbolic graph with Undefined values"},
    };
    for (const auto& test : cases) {
        EXPECT_TRUE(throws(test.type, test.call, test.message)) << test.what;
    }
    EXPECT_FALSE(v.has_grad());
}

}  // namespace
}  // namespace zarnik::symbolic
