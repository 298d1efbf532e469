// The flat program that evaluate and backward record per call against the
// reference evaluator, which steps through the graph node by node: the same
// values, the same failures and the same gradients, bit for bit.

#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <typeinfo>

#include "random_graphs.hpp"
#include "symbolic/graph/graph_walk.hpp"
#include "symbolic/program/program.hpp"
#include "symbolic/program/reference.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using Outcome = testing::Outcome<SmallValue>;
using testing::outcome_of;

Outcome by_reference(const Value& output) {
    detail::WalkStack stack;
    detail::ReferenceOrder order;
    detail::ReferenceRecorder recorder(order);
    detail::walk(output, stack, recorder);
    return outcome_of([&] {
        std::vector<SmallValue> values;
        detail::reference_forward(order, values);
        return values.back();
    });
}

Outcome by_program(const Value& output, bool& regular) {
    detail::WalkStack stack;
    detail::Program program;
    detail::ProgramRecorder recorder(program);
    program.output = detail::walk(output, stack, recorder);
    regular = !recorder.irregular();
    return outcome_of([&] {
        detail::raise_if_failed(detail::run_forward(program, program.lanes.data()));
        return detail::output_value(program, program.lanes.data());
    });
}

std::vector<std::optional<SmallValue>> gradients(const std::vector<Value>& parameters) {
    std::vector<std::optional<SmallValue>> all;
    for (const Value& p : parameters) {
        all.push_back(p.has_grad() ? std::optional(p.grad()) : std::nullopt);
    }
    return all;
}

TEST(Program, AgreesWithTheReferenceEvaluatorOnRandomGraphs) {
    testing::RandomGraphMaker maker(20261210);
    int failing = 0;
    int checked_gradients = 0;
    for (int round = 0; round < 400; ++round) {
        const testing::RandomGraph g = maker.make(12, round % 2 == 0);
        bool regular = false;
        const Outcome program = by_program(g.output, regular);
        ASSERT_TRUE(regular) << "the builders made a graph the program does not cover";
        const Outcome reference = by_reference(g.output);
        ASSERT_EQ(program, reference) << "round " << round << ": " << program.thrown << " / " << reference.thrown;
        failing += program.result ? 0 : 1;
        if (!program.result) {
            continue;
        }
        // Gradients: the reference's pass, then evaluate's own, from the same start.
        SmallValue seed = *program.result;
        for (double& lane : seed.lanes) {
            lane = lane * 0.5 + 1.0;
        }
        detail::WalkStack stack;
        detail::ReferenceOrder order;
        detail::ReferenceRecorder recorder(order);
        detail::walk(g.output, stack, recorder);
        std::vector<SmallValue> values;
        std::vector<SmallValue> slots;
        detail::reference_forward(order, values);
        detail::reference_backward(order, values, seed, slots);
        const auto expected = gradients(g.parameters);
        g.output.zero_grad();
        g.output.backward(seed);
        const auto actual = gradients(g.parameters);
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t i = 0; i < actual.size(); ++i) {
            ASSERT_EQ(actual[i].has_value(), expected[i].has_value()) << "round " << round;
            if (actual[i]) {
                EXPECT_EQ(std::memcmp(actual[i]->lanes.data(), expected[i]->lanes.data(), sizeof(double) * 4), 0)
                    << "round " << round << ", parameter " << i;
            }
        }
        g.output.zero_grad();
        ++checked_gradients;
    }
    // The generator reaches both kinds of graph.
    EXPECT_GT(failing, 20);
    EXPECT_GT(checked_gradients, 150);
}

// Nodes that break the builders' invariants are left to the reference evaluator.
TEST(Program, LeavesIrregularNodesToTheReference) {
    const Value p = parameter(1.0, 2.0, "p");
    const Value s = parameter(3.0, "s");
    const Value cases[] = {
        make_expression(ExpressionOp::Add, 4, {p, p, {}, {}}, 2, -1),        // reads spare lanes
        make_expression(ExpressionOp::Add, 1, {s, s, p, {}}, 3, -1),         // an input it never reads
        make_expression(ExpressionOp::Pack, 2, {s, s, s, {}}, 3, -1),        // more inputs than lanes
        make_expression(ExpressionOp::Sin, 3, {p, {}, {}, {}}, 1, -1),       // lanes other than its input's
        make_expression(ExpressionOp::Component, 2, {p, {}, {}, {}}, 1, 1),  // a vector component
    };
    for (const Value& odd : cases) {
        bool regular = true;
        by_program(odd, regular);
        EXPECT_FALSE(regular) << odd.debug_string();
        // Value::evaluate goes the reference's way and gets its answer.
        EXPECT_EQ(outcome_of([&] { return odd.evaluate(); }), by_reference(odd)) << odd.debug_string();
    }
}

// make_node may give a leaf a value of fewer lanes than the node has: every
// way of evaluating a graph uses the value as it is, as the reference does,
// broadcasting a one-lane value and failing on a lane it lacks.
TEST(Program, LeavesWhoseValueHasFewerLanesThanTheirNode) {
    const Value p = make_node(ValueKind::Parameter, 3, small_value(1.0), std::nullopt, "p");
    const Value c = make_node(ValueKind::Constant, 2, small_value(5.0), std::nullopt, "c");
    const Value q = parameter(1.0, 2.0, 3.0, "q");
    const Value r = parameter(10.0, 20.0, "r");
    const struct {
        const char* what;
        Value graph;
        Outcome expected;
    } cases[] = {
        {"p + q", p + q, {small_value(2.0, 3.0, 4.0), ""}},
        {"p.z",
         component(p, 2),
         {std::nullopt, std::string(typeid(std::out_of_range).name()) + ": symbolic value lane index out of range"}},
        {"sin(p.x) * q", sin(component(p, 0)) * q, by_reference(sin(component(p, 0)) * q)},
        {"c + r", c + r, {small_value(15.0, 25.0), ""}},
    };
    for (const auto& test : cases) {
        bool regular = true;
        by_program(test.graph, regular);
        EXPECT_FALSE(regular) << test.what;
        EXPECT_EQ(by_reference(test.graph), test.expected) << test.what;
        EXPECT_EQ(outcome_of([&] { return test.graph.evaluate(); }), test.expected) << test.what;
        EXPECT_EQ(outcome_of([&] { return Tape(test.graph).evaluate(); }), test.expected) << test.what;
        // A function of q, called once and over rows.
        const Function f({q}, {test.graph});
        const Outcome called = outcome_of([&] { return f({small_value(1.0, 2.0, 3.0)})[0]; });
        EXPECT_EQ(called, test.expected) << test.what;
        const double rows[] = {1.0, 2.0, 3.0, 1.0, 2.0, 3.0};
        const double* inputs[] = {rows};
        std::vector<double> results(2 * static_cast<std::size_t>(test.graph.dimension()));
        double* outputs[] = {results.data()};
        const testing::Outcome<std::vector<double>> batch = outcome_of([&] {
            f.evaluate_rows(2, inputs, outputs);
            return results;
        });
        if (test.expected.result) {
            const auto lanes = std::span(test.expected.result->lanes).first(results.size() / 2);
            std::vector<double> twice(lanes.begin(), lanes.end());
            twice.insert(twice.end(), lanes.begin(), lanes.end());
            EXPECT_EQ(results, twice) << test.what;
        } else {
            EXPECT_EQ(batch.thrown, test.expected.thrown) << test.what;  // fails whatever the row
        }
    }
    // Gradients flow back as the reference sweeps them.
    const Value loss = component(p * q, 1);
    loss.backward();
    EXPECT_EQ(q.grad().lanes, (std::array<double, 4>{0.0, 1.0, 0.0, 0.0}));
    EXPECT_EQ(p.grad().lanes, (std::array<double, 4>{0.0, 2.0, 0.0, 0.0}));
    loss.zero_grad();
    Tape(loss).backward();
    EXPECT_EQ(p.grad().lanes, (std::array<double, 4>{0.0, 2.0, 0.0, 0.0}));
}

// Lane offsets are 32-bit: a program refuses to grow past 2^30 lanes rather than wrap around.
TEST(Program, RefusesMoreLanesThanItsOffsetsCanName) {
    detail::LaneArray lanes;
    lanes.allocate(16);
    EXPECT_TRUE(testing::throws<std::length_error>([&] { lanes.allocate(detail::max_lanes); },
                                                   "a symbolic graph of more than 1073741824 lanes is not supported"));
    EXPECT_EQ(lanes.size(), 16U);
    EXPECT_EQ(lanes.allocate(4), 16U);
}

}  // namespace
}  // namespace zarnik::symbolic
