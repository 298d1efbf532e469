// Compiled functions of inputs: the same values as evaluating with the inputs
// set, Jacobian rows equal to backward passes with unit seeds, rows equal to
// single calls, all bit for bit, and nothing written into the graph.

#include <cmath>
#include <optional>
#include <random>
#include <string>

#include "random_graphs.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::throws;

using Outcome = testing::Outcome<std::vector<SmallValue>>;
using testing::outcome_of;
using testing::same_bits;

void expect_same(const Outcome& a, const Outcome& b, const std::string& what) {
    EXPECT_EQ(a, b) << what << ": " << a.thrown << " / " << b.thrown;
}

// A function of some of a random graph's parameters and of a few of its values.
struct Case {
    testing::RandomGraph graph;
    std::vector<Value> inputs;
    std::vector<Value> outputs;
    std::vector<SmallValue> at;  // values for the inputs
};

Case make_case(testing::RandomGraphMaker& maker, std::mt19937_64& rng, bool failures) {
    Case c{maker.make(10, failures), {}, {}, {}};
    for (const Value& p : c.graph.parameters) {
        if (std::bernoulli_distribution(0.7)(rng)) {
            c.inputs.push_back(p);
            SmallValue value = p.value();
            for (int i = 0; i < value.dimension; ++i) {
                value.lanes[static_cast<std::size_t>(i)] += std::uniform_real_distribution<double>(-0.5, 0.5)(rng);
            }
            c.at.push_back(value);
        }
    }
    const int outputs = std::uniform_int_distribution<int>(1, 3)(rng);
    c.outputs.push_back(c.graph.output);
    for (int j = 1; j < outputs; ++j) {
        const auto index = std::uniform_int_distribution<std::size_t>(0, c.graph.values.size() - 1)(rng);
        c.outputs.push_back(c.graph.values[index]);
    }
    return c;
}

// The expression path: the inputs' values set, every output evaluated, the
// original values put back.
Outcome by_values(const Case& c) {
    std::vector<SmallValue> original;
    for (std::size_t k = 0; k < c.inputs.size(); ++k) {
        original.push_back(c.inputs[k].value());
        c.inputs[k].set_value(c.at[k]);
    }
    const Outcome result = outcome_of([&] {
        std::vector<SmallValue> lanes;
        for (const Value& output : c.outputs) {
            lanes.push_back(output.evaluate());
        }
        return lanes;
    });
    for (std::size_t k = 0; k < c.inputs.size(); ++k) {
        c.inputs[k].set_value(original[k]);
    }
    return result;
}

TEST(Function, AgreesWithEvaluationAndBackwardOnRandomGraphs) {
    testing::RandomGraphMaker maker(777);
    std::mt19937_64 rng(99);
    int jacobians = 0;
    for (int round = 0; round < 200; ++round) {
        const Case c = make_case(maker, rng, round % 3 == 0);
        const std::string what = "round " + std::to_string(round);
        // A placeholder below an output is refused when the function is made;
        // evaluating that output fails.
        const testing::Outcome<bool> made = outcome_of([&] { return Function(c.inputs, c.outputs).outputs().empty(); });
        if (!made.result) {
            ASSERT_FALSE(c.graph.placeholders.empty()) << what << ": " << made.thrown;
            EXPECT_NE(made.thrown.find("function outputs depend on placeholders that are not inputs: " +
                                       c.graph.placeholders.front().debug_string()),
                      std::string::npos)
                << what << ": " << made.thrown;
            EXPECT_FALSE(by_values(c).result) << what;
            continue;
        }
        const Function f(c.inputs, c.outputs);
        const Outcome called = outcome_of([&] { return f(c.at); });
        expect_same(called, by_values(c), what);
        for (const Value& p : c.graph.parameters) {
            ASSERT_FALSE(p.has_grad()) << what << ": a call wrote a gradient";
        }
        if (!called.result) {
            continue;
        }
        std::vector<double> jacobian(f.output_lanes() * f.input_lanes());
        f.jacobian(c.at, jacobian);
        // Row by row, the gradients of a backward pass with a unit seed.
        for (std::size_t k = 0; k < c.inputs.size(); ++k) {
            c.inputs[k].set_value(c.at[k]);
        }
        std::size_t row = 0;
        for (const Value& output : c.outputs) {
            for (int l = 0; l < output.dimension(); ++l, ++row) {
                SmallValue seed;
                seed.dimension = output.dimension();
                seed.lanes[static_cast<std::size_t>(l)] = 1.0;
                for (const Value& each : c.outputs) {
                    each.zero_grad();  // an input below another output only
                }
                output.backward(seed);
                std::size_t column = 0;
                for (const Value& input : c.inputs) {
                    for (int i = 0; i < input.dimension(); ++i, ++column) {
                        const double expected =
                            input.has_grad() ? input.grad().lanes[static_cast<std::size_t>(i)] : 0.0;
                        EXPECT_TRUE(same_bits(jacobian[row * f.input_lanes() + column], expected))
                            << what << ", row " << row << ", column " << column;
                    }
                }
                output.zero_grad();
            }
        }
        ++jacobians;
    }
    EXPECT_GT(jacobians, 100);
}

TEST(Function, RowsAgreeWithCalls) {
    testing::RandomGraphMaker maker(31337);
    std::mt19937_64 rng(7);
    for (int round = 0; round < 60; ++round) {
        const Case c = make_case(maker, rng, false);
        const Function f(c.inputs, c.outputs);
        constexpr std::size_t rows = 700;  // several blocks, the last one partial
        std::vector<std::vector<double>> columns(c.inputs.size());
        std::vector<std::vector<SmallValue>> at(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t k = 0; k < c.inputs.size(); ++k) {
                SmallValue value = c.at[k];
                for (int i = 0; i < value.dimension; ++i) {
                    value.lanes[static_cast<std::size_t>(i)] += 0.001 * static_cast<double>(r);
                    columns[k].push_back(value.lanes[static_cast<std::size_t>(i)]);
                }
                at[r].push_back(value);
            }
        }
        std::vector<const double*> inputs;
        for (const auto& column : columns) {
            inputs.push_back(column.data());
        }
        std::vector<std::vector<double>> results(c.outputs.size());
        std::vector<double*> outputs;
        for (std::size_t j = 0; j < c.outputs.size(); ++j) {
            results[j].resize(rows * static_cast<std::size_t>(c.outputs[j].dimension()));
            outputs.push_back(results[j].data());
        }
        const std::size_t size = f.output_lanes() * f.input_lanes();
        std::vector<double> jacobians(rows * size);
        const Outcome batch = outcome_of([&] {
            f.evaluate_rows(rows, inputs, outputs);
            f.jacobian_rows(rows, inputs, jacobians.data());
            return std::vector<SmallValue>{};
        });
        // The first failing row, if any, is the batch's error, with its row.
        std::optional<std::string> failure;
        for (std::size_t r = 0; r < rows && !failure; ++r) {
            const Outcome call = outcome_of([&] { return f(at[r]); });
            if (!call.result) {
                failure = call.thrown + " (row " + std::to_string(r) + ")";
                break;
            }
            std::vector<double> jacobian(size);
            f.jacobian(at[r], jacobian);
            for (std::size_t j = 0; j < c.outputs.size(); ++j) {
                for (int i = 0; i < c.outputs[j].dimension(); ++i) {
                    const auto dim = static_cast<std::size_t>(c.outputs[j].dimension());
                    ASSERT_TRUE(same_bits(results[j][r * dim + static_cast<std::size_t>(i)],
                                          (*call.result)[j].lanes[static_cast<std::size_t>(i)]))
                        << "round " << round << ", row " << r;
                }
            }
            for (std::size_t e = 0; e < size; ++e) {
                ASSERT_TRUE(same_bits(jacobians[r * size + e], jacobian[e])) << "round " << round << ", row " << r;
            }
        }
        if (failure) {
            EXPECT_EQ(batch.thrown, *failure) << "round " << round;
        } else {
            EXPECT_EQ(batch.thrown, "") << "round " << round;
        }
    }
}

TEST(Function, JacobiansMatchCentralDifferences) {
    const Value x = undefined(2, "x");
    const Value a = parameter(0.7, "a");
    const Value r = component(x, 0) * sin(component(x, 1) * a) + cos(component(x, 0)) / (a + 2.0);
    const Value v = vec2(component(x, 0) * component(x, 1), r * r);
    const Function f({x, a}, {r, v});
    const std::vector<SmallValue> at = {small_value(0.3, -1.1), small_value(0.9)};
    std::vector<double> jacobian(3 * 3);
    f.jacobian(at, jacobian);
    const double step = 1e-6;
    std::size_t column = 0;
    for (std::size_t k = 0; k < at.size(); ++k) {
        for (int i = 0; i < at[k].dimension; ++i, ++column) {
            std::vector<SmallValue> up = at;
            std::vector<SmallValue> down = at;
            up[k].lanes[static_cast<std::size_t>(i)] += step;
            down[k].lanes[static_cast<std::size_t>(i)] -= step;
            const auto high = f(up);
            const auto low = f(down);
            const double numeric[] = {(high[0][0] - low[0][0]) / (2 * step), (high[1][0] - low[1][0]) / (2 * step),
                                      (high[1][1] - low[1][1]) / (2 * step)};
            for (std::size_t row = 0; row < 3; ++row) {
                EXPECT_NEAR(jacobian[row * 3 + column], numeric[row], 1e-6) << "row " << row << ", column " << column;
            }
        }
    }
}

TEST(Function, TouchesNoNodeAndReadsOtherParametersAtEachCall) {
    const Value x = undefined(1, "x");
    const Value w = parameter(2.0, "w");
    const Value b = parameter(1.0, "b");
    const Value y = w * x + b;
    const Function f({x, w}, {y});
    EXPECT_EQ(f({small_value(3.0), small_value(10.0)})[0][0], 31.0);
    EXPECT_EQ(w.value()[0], 2.0);  // an input's own value is not used, nor changed
    b.set_value(small_value(-1.0));
    EXPECT_EQ(f({small_value(3.0), small_value(10.0)})[0][0], 29.0);
    std::vector<double> jacobian(2);
    f.jacobian({small_value(3.0), small_value(10.0)}, jacobian);
    EXPECT_EQ(jacobian, (std::vector<double>{10.0, 3.0}));
    EXPECT_FALSE(w.has_grad() || b.has_grad());
    // An output that does not depend on an input has zeros in its columns.
    const Function g({x, b}, {w * 3.0});
    std::vector<double> zeros(2, 7.0);
    g.jacobian({small_value(1.0), small_value(1.0)}, zeros);
    EXPECT_EQ(zeros, (std::vector<double>{0.0, 0.0}));
}

TEST(Function, AgreesOnNodesThatBreakTheBuildersInvariants) {
    const Value p = parameter(1.0, 2.0, "p");
    const Value s = parameter(3.0, "s");
    const Value t = parameter(-2.0, "t");
    // Extra operands that evaluation never reads.
    const Value odd = make_expression(ExpressionOp::Add, 1, {s, t * 3.0, p, {}}, 3, -1) * s;  // (s + 3t) s
    const Value other = make_expression(ExpressionOp::Multiply, 1, {t, t, s, {}}, 3, -1);     // t t
    const Function f({s, t}, {odd, other});
    s.set_value(small_value(0.5));
    t.set_value(small_value(1.5));
    const std::vector<SmallValue> expected = {odd.evaluate(), other.evaluate()};
    s.set_value(small_value(3.0));
    t.set_value(small_value(-2.0));
    EXPECT_TRUE(same_bits(f({small_value(0.5), small_value(1.5)}), expected));
    // Rows are outputs, columns inputs, each in the order given.
    std::vector<double> jacobian(4);
    f.jacobian({small_value(0.5), small_value(1.5)}, jacobian);
    EXPECT_EQ(jacobian, (std::vector<double>{2 * 0.5 + 3 * 1.5, 3 * 0.5, 0.0, 2 * 1.5}));
}

TEST(Function, RefusesWhatItCannotTake) {
    const Value x = undefined(2, "x");
    const Value p = parameter(1.0, "p");
    const Value u = undefined(1, "u");
    const Function f({x, p}, {component(x, 0) * p});
    const Function g({x}, {sin(component(x, 0))});
    const std::string free_placeholder =
        "function outputs depend on placeholders that are not inputs: " + u.debug_string();
    const std::string free_placeholders =
        "function outputs depend on placeholders that are not inputs: " + x.debug_string() + ", " + u.debug_string();
    double room[2];
    const double* none[] = {room};
    double* out[] = {room};
    const testing::FailureCase cases[] = {
        {"a constant as input", [&] { Function({constant(1.0)}, {p}); }, testing::Thrown::InvalidArgument,
         "function inputs must be placeholders or parameters"},
        {"an expression as input", [&] { Function({p * 2.0}, {p}); }, testing::Thrown::InvalidArgument,
         "function inputs must be placeholders or parameters"},
        {"an input twice", [&] { Function({p, p}, {p}); }, testing::Thrown::InvalidArgument,
         "function inputs must be distinct"},
        {"an empty input", [&] { Function({Value{}}, {p}); }, testing::Thrown::InvalidArgument,
         "function input is not a valid symbolic value"},
        {"no output", [&] { Function({p}, {}); }, testing::Thrown::InvalidArgument,
         "a function needs at least one output"},
        {"an empty output", [&] { Function({p}, {Value{}}); }, testing::Thrown::InvalidArgument,
         "function output is not a valid symbolic value"},
        {"too few values", [&] { f({small_value(1.0, 2.0)}); }, testing::Thrown::InvalidArgument,
         "the function takes 2 inputs, not 1"},
        {"a value of another dimension", [&] { f({small_value(1.0), small_value(1.0)}); },
         testing::Thrown::InvalidArgument, "input 0 of the function has 2 lanes, not 1"},
        {"a value that is not finite", [&] { f({small_value(1.0, 2.0), SmallValue{1, {testing::nan, 0, 0, 0}}}); },
         testing::Thrown::InvalidArgument, "symbolic value lanes must be finite"},
        {"a lane that no output reads, not finite", [&] { g({SmallValue{2, {1.0, testing::nan, 0, 0}}}); },
         testing::Thrown::InvalidArgument, "symbolic value lanes must be finite"},
        {"a placeholder that is not an input", [&] { Function({x}, {component(x, 1) + u * p}); },
         testing::Thrown::InvalidArgument, free_placeholder.c_str()},
        {"placeholders that are not inputs", [&] { Function({p}, {component(x, 1) + u}); },
         testing::Thrown::InvalidArgument, free_placeholders.c_str()},
        {"a result that is not finite", [&] { f({small_value(1e300, 2.0), small_value(1e300)}); },
         testing::Thrown::InvalidArgument, "symbolic value lanes must be finite"},
        {"rows of the wrong number of inputs", [&] { f.evaluate_rows(1, std::span(none), std::span(out)); },
         testing::Thrown::InvalidArgument, "the function takes 2 inputs, not 1"},
    };
    for (const auto& test : cases) {
        EXPECT_TRUE(throws(test.type, test.call, test.message)) << test.what;
    }
    // Rows name the first row that fails.
    const double xs[] = {1.0, 2.0, 1e300, 2.0, 1e300, 1.0};
    const double ps[] = {1.0, 1e300, 1e300};
    const double* inputs[] = {xs, ps};
    double results[3];
    double* outputs[] = {results};
    EXPECT_TRUE(throws<std::invalid_argument>([&] { f.evaluate_rows(3, inputs, outputs); },
                                              "symbolic value lanes must be finite (row 1)"));
}

}  // namespace
}  // namespace zarnik::symbolic
