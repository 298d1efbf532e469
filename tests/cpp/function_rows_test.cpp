// A compiled function over many rows at once: what a batch reads and when,
// which row it names when one fails, and what it refuses.

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::nan;
using testing::same_bits;
using testing::throws;

// Rows of a function's inputs and room for its outputs and Jacobians, as a
// C++ caller of the rows API holds them.
struct Batch {
    Batch(const Function& function, std::vector<std::vector<double>> given) : f(function), columns(std::move(given)) {
        rows = this->columns.front().size() / static_cast<std::size_t>(f.inputs().front().dimension());
        for (const auto& column : this->columns) {
            inputs.push_back(column.data());
        }
        for (const Value& output : f.outputs()) {
            results.emplace_back(rows * static_cast<std::size_t>(output.dimension()), -1.0);
        }
        for (auto& result : results) {
            outputs.push_back(result.data());
        }
        jacobians.assign(rows * f.output_lanes() * f.input_lanes(), -1.0);
    }

    void evaluate() { f.evaluate_rows(rows, inputs, outputs); }
    void evaluate(const std::vector<double>& parameters) { f.evaluate_rows(rows, inputs, outputs, parameters); }
    void jacobian() { f.jacobian_rows(rows, inputs, jacobians.data()); }
    void jacobian(const std::vector<double>& parameters) {
        f.jacobian_rows(rows, inputs, jacobians.data(), parameters);
    }

    const Function& f;
    std::vector<std::vector<double>> columns;
    std::size_t rows = 0;
    std::vector<const double*> inputs;
    std::vector<std::vector<double>> results;
    std::vector<double*> outputs;
    std::vector<double> jacobians;
};

// More rows than one block holds, so that a batch runs several.
std::vector<double> ramp(std::size_t rows) {
    std::vector<double> xs(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        xs[r] = 0.25 + 0.001 * static_cast<double>(r);
    }
    return xs;
}

TEST(FunctionRows, ReadTheParametersOnceAsGivenOrAsTheyAreWhenTheBatchStarts) {
    const Value x = undefined(1, "x");
    const Value p = parameter(2.0, "p");
    const Function f({x}, {x * p, p});
    p.set_value(small_value(3.0));  // after the function was made
    Batch batch(f, {ramp(1500)});
    batch.evaluate();
    batch.jacobian();
    for (std::size_t r = 0; r < batch.rows; ++r) {
        ASSERT_EQ(batch.results[0][r], batch.columns[0][r] * 3.0) << "row " << r;
        ASSERT_EQ(batch.results[1][r], 3.0) << "row " << r;
        ASSERT_EQ(batch.jacobians[r * 2], 3.0) << "row " << r;
    }
    // Values given for the parameters are what every row uses, the output
    // that is the parameter itself included; the node is not read.
    EXPECT_EQ(f.parameter_values(), std::vector<double>{3.0});
    batch.evaluate({5.0});
    batch.jacobian({5.0});
    for (std::size_t r = 0; r < batch.rows; ++r) {
        ASSERT_EQ(batch.results[0][r], batch.columns[0][r] * 5.0) << "row " << r;
        ASSERT_EQ(batch.results[1][r], 5.0) << "row " << r;
        ASSERT_EQ(batch.jacobians[r * 2], 5.0) << "row " << r;
        ASSERT_EQ(batch.jacobians[r * 2 + 1], 0.0) << "row " << r;
    }
    EXPECT_EQ(p.value()[0], 3.0);
}

TEST(FunctionRows, NameTheRowThatFailsWithTheValuesGiven) {
    const Value x = undefined(1, "x");
    const Value p = parameter(1.0, "p");
    const Function f({x}, {x / p});
    Batch batch(f, {ramp(1500)});
    // The node holds 1, with which no row fails; the batch is given 0.
    const std::string message = "symbolic value lanes must be finite (row 0)";
    EXPECT_TRUE(throws<std::invalid_argument>([&] { batch.evaluate({0.0}); }, message));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { batch.jacobian({0.0}); }, message));
    // A function whose graph only the reference evaluator steps through (an
    // expression with an extra operand) reads the values given as well.
    const Value odd = make_expression(ExpressionOp::Divide, 1, {x, p, x, {}}, 3, -1);
    const Function g({x}, {odd, p});
    Batch irregular(g, {ramp(3)});
    irregular.evaluate({4.0});
    EXPECT_EQ(irregular.results[0], (std::vector<double>{0.25 / 4.0, 0.251 / 4.0, 0.252 / 4.0}));
    EXPECT_EQ(irregular.results[1], (std::vector<double>{4.0, 4.0, 4.0}));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { irregular.evaluate({0.0}); }, message));
}

TEST(FunctionRows, RefuseParameterValuesOfAnotherLengthOrNotFinite) {
    const Value x = undefined(1, "x");
    const Value p = parameter(1.0, 2.0, "p");
    const Value q = parameter(3.0, "q");
    const Function f({x}, {x * p + q});
    Batch batch(f, {ramp(4)});
    const std::string message = "the function's parameters take 3 values, not ";
    for (const std::vector<double>& given : {std::vector<double>{}, {1.0, 2.0}, {1.0, 2.0, 3.0, 4.0}}) {
        const std::string expected = message + std::to_string(given.size());
        EXPECT_TRUE(throws<std::invalid_argument>([&] { batch.evaluate(given); }, expected)) << given.size();
        EXPECT_TRUE(throws<std::invalid_argument>([&] { batch.jacobian(given); }, expected)) << given.size();
    }
    // ... and values that set_value would refuse.
    EXPECT_TRUE(
        throws<std::invalid_argument>([&] { batch.evaluate({1.0, nan, 3.0}); }, "symbolic value lanes must be finite"));
    batch.evaluate({1.0, 2.0, 3.0});
    EXPECT_EQ(batch.results[0][0], 0.25 * 1.0 + 3.0);
}

TEST(FunctionRows, NameTheFirstRowThatFails) {
    const Value x = undefined(1, "x");
    const Value y = undefined(1, "y");
    const Value v = undefined(2, "v");
    struct Case {
        const char* what;
        Function f;
        std::vector<std::vector<double>> columns;
        const char* message;
    };
    const Case cases[] = {
        // A result that is not finite in row 1 comes before an input that is not finite in row 2.
        {"x / y", Function({x, y}, {x / y}), {{1, 1, 1}, {2, 0, nan}}, "symbolic value lanes must be finite (row 1)"},
        // An input that is not finite fails the row, although sin keeps it from any check of its own.
        {"sin x", Function({x}, {sin(x)}), {{0, nan, 1}}, "symbolic value lanes must be finite (row 1)"},
        // ... and so does a lane that no output reads.
        {"unread lane",
         Function({v}, {sin(component(v, 0))}),
         {{0, 0, 1, 1, 2, nan}},
         "symbolic value lanes must be finite (row 2)"},
    };
    for (const Case& c : cases) {
        Batch batch(c.f, c.columns);
        EXPECT_TRUE(throws<std::invalid_argument>([&] { batch.evaluate(); }, c.message)) << c.what;
        EXPECT_TRUE(throws<std::invalid_argument>([&] { batch.jacobian(); }, c.message)) << c.what;
    }
}

TEST(FunctionRows, StopWithWhatTheCheckBetweenBlocksThrows) {
    const Value x = undefined(1, "x");
    const Function f({x}, {x * 2.0});
    Batch batch(f, {ramp(2000)});  // four blocks of rows
    int checks = 0;
    const auto stop_at_second = [&] {
        if (++checks == 2) {
            throw std::runtime_error("stopped");
        }
    };
    EXPECT_TRUE(throws<std::runtime_error>(
        [&] { f.evaluate_rows(batch.rows, batch.inputs, batch.outputs, f.parameter_values(), stop_at_second); },
        "stopped"));
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(batch.results[0][0], 0.5);
    EXPECT_EQ(batch.results[0][511], batch.columns[0][511] * 2.0);
    EXPECT_EQ(batch.results[0][1999], -1.0);  // a row it did not reach is not written
    checks = 0;
    EXPECT_TRUE(throws<std::runtime_error>(
        [&] {
            f.jacobian_rows(batch.rows, batch.inputs, batch.jacobians.data(), f.parameter_values(), stop_at_second);
        },
        "stopped"));
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(batch.jacobians[0], 2.0);
    EXPECT_EQ(batch.jacobians[1999], -1.0);
}

TEST(FunctionRows, SayWhenAFailureCannotBeFoundAgain) {
    // The caller's output array is its input array: the rows that failed are
    // overwritten before they can be read again, as when a caller changes its
    // input during the batch. The rows API says so as the function's own rows do.
    const Value x = undefined(1, "x");
    const Function f({x}, {1.0 / x, x - x + 1.0});
    std::vector<double> xs(700, 2.0);
    std::vector<double> reciprocals(xs.size());
    const double* inputs[] = {xs.data()};
    const RowInput rows[] = {RowInput::per_row(xs.data())};
    double* outputs[] = {reciprocals.data(), xs.data()};
    const std::function<void()> ways[] = {
        [&] { f.evaluate_rows(xs.size(), inputs, outputs); },
        [&] { evaluate_rows(f, xs.size(), rows, outputs); },
    };
    for (const auto& way : ways) {
        std::fill(xs.begin(), xs.end(), 2.0);
        xs[600] = 0.0;
        EXPECT_TRUE(throws<std::logic_error>(
            way,
            "rows 512..699 of the batch failed, but none of them fails when read again: the caller changed the input "
            "arrays during the batch"));
    }
}

TEST(FunctionRows, JacobiansOfManyOutputsAreBackwardPasses) {
    // A recurrence whose every state is an output. A backward pass from one
    // state adds up a node's gradient over its users in the order of a walk
    // from that state alone: in state order, each state's order is the one
    // before and its own instructions; in an order of their own, the orders
    // are kept or found at each call. The inputs are parameters, so that
    // backward passes give their gradients.
    const Value x = parameter(0.3, "x");
    const Value a = parameter(0.7, "a");
    std::vector<Value> states{x, sin(x) * a, cos(x) + a};
    for (int k = 3; k < 400; ++k) {
        const Value& u = states[static_cast<std::size_t>(k - 1)];
        const Value& v = states[static_cast<std::size_t>(k - 2)];
        const Value& w = states[static_cast<std::size_t>(k - 3)];
        states.push_back(k % 2 == 0 ? sin(u * w) * 0.5 + cos(v) : cos(w) * 0.25 - sin(u + v) * a);
    }
    std::vector<Value> shuffled;
    for (std::size_t k = 0; k < states.size(); ++k) {
        shuffled.push_back(states[(k * 37) % states.size()]);
    }
    // Outputs whose orders are not runs of the program's order, beside ones
    // that are: y11 follows y10 and is a run. A sweep over y11's run before
    // a * 1e17 * sin(x) would add a's gradients in another order (the large
    // one first, each small one then rounded away); over the run from y10 on
    // for y12, it would take in the division, whose divisor squared
    // underflows, and with no gradient of its own it would give NaN.
    std::vector<Value> ys{x};
    for (int k = 1; k <= 12; ++k) {
        ys.push_back(sin(ys.back()) * a + ys.back() * 0.5);
    }
    const std::vector<Value> mixed = {ys[10], ys[11], a * 1e17 * sin(x) + ys[11], 1.0 / (x * 1e-200), ys[12]};
    for (const std::vector<Value>& outputs : {states, shuffled, mixed}) {
        const Function f({a, x}, outputs);
        const std::vector<SmallValue> at = {small_value(0.7), small_value(0.3)};
        std::vector<double> jacobian(f.output_lanes() * f.input_lanes());
        f.jacobian(at, jacobian);
        Batch batch(f, {{0.7, 0.7}, {0.3, 0.3}});
        batch.jacobian();
        for (std::size_t j = 0; j < outputs.size(); ++j) {
            outputs[j].backward();
            const double expected[] = {a.has_grad() ? a.grad()[0] : 0.0, x.has_grad() ? x.grad()[0] : 0.0};
            for (std::size_t column = 0; column < 2; ++column) {
                ASSERT_TRUE(same_bits(jacobian[j * 2 + column], expected[column])) << "output " << j;
                ASSERT_TRUE(same_bits(batch.jacobians[j * 2 + column], expected[column])) << "output " << j;
                ASSERT_TRUE(same_bits(batch.jacobians[outputs.size() * 2 + j * 2 + column], expected[column]));
            }
            outputs[j].zero_grad();
        }
    }
}

}  // namespace
}  // namespace zarnik::symbolic
