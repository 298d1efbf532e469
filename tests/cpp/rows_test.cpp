// The rows API against single calls on random functions: Jacobians with
// respect to chosen inputs (by reverse sweeps the bits of single calls' columns,
// by forward sweeps the same numbers to rounding), inputs given once, and the
// summed value and gradient of a scalar output; in both arithmetics.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "random_graphs.hpp"
#include "symbolic/rows.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::same_bits;

constexpr std::size_t rows = 37;  // blocks of rows and a tail

// A random function of its leaves, with rows of inputs that move a little
// from row to row (input 0 given once for every row when `once`).
struct RandomRows {
    std::vector<Value> inputs;
    std::vector<std::vector<double>> data;  // per input: rows x lanes, or its lanes when given once
    std::vector<RowInput> given;
    bool once;

    RandomRows(const testing::RandomGraph& g, bool once_first) : once(once_first) {
        inputs = g.parameters;
        inputs.insert(inputs.end(), g.placeholders.begin(), g.placeholders.end());
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            const auto dim = static_cast<std::size_t>(inputs[k].dimension());
            const bool every_row = once && k == 0;
            std::vector<double> lanes;
            for (std::size_t r = 0; r < (every_row ? 1 : rows); ++r) {
                for (std::size_t i = 0; i < dim; ++i) {
                    const double base = inputs[k].is_parameter() ? inputs[k].value().lanes[i] : 0.5;
                    lanes.push_back(base * (1.0 + 0.01 * static_cast<double>(r)));
                }
            }
            data.push_back(std::move(lanes));
        }
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            given.push_back(once && k == 0 ? RowInput::once(data[k].data()) : RowInput::per_row(data[k].data()));
        }
    }

    std::vector<SmallValue> row(std::size_t r) const {
        std::vector<SmallValue> values(inputs.size());
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            const auto dim = static_cast<std::size_t>(inputs[k].dimension());
            const std::size_t at = once && k == 0 ? 0 : r * dim;
            values[k].dimension = inputs[k].dimension();
            std::copy_n(data[k].begin() + static_cast<std::ptrdiff_t>(at), dim, values[k].lanes.begin());
        }
        return values;
    }
};

// Whether a forward-mode entry agrees with the reverse one to rounding.
bool agrees(double forward, double reverse) {
    if (!std::isfinite(forward) || !std::isfinite(reverse)) {
        return std::isfinite(forward) == std::isfinite(reverse);
    }
    return std::fabs(forward - reverse) <= 1e-10 * std::max(1.0, std::fabs(reverse));
}

TEST(Rows, ChosenColumnsAreTheSingleCallsByReverseSweepsAndAgreeByForwardOnes) {
    testing::RandomGraphMaker maker(20261212);
    int forward = 0;
    int reverse = 0;
    for (int round = 0; round < 200; ++round) {
        const testing::RandomGraph g = maker.make(12, false);
        const RandomRows data(g, round % 2 == 1);
        // Several outputs, so that one input's columns are fewer than the output lanes.
        const Function f(data.inputs, {g.output, g.values[g.values.size() / 2]});
        const std::size_t all = f.input_lanes();
        const std::size_t outputs = f.output_lanes();
        std::vector<double> single(rows * outputs * all);
        try {
            for (std::size_t r = 0; r < rows; ++r) {
                f.jacobian(data.row(r), std::span<double>(single).subspan(r * outputs * all, outputs * all));
            }
        } catch (const std::invalid_argument&) {
            continue;  // a row is not finite
        }
        std::vector<std::vector<std::size_t>> choices;
        for (std::size_t k = 0; k < data.inputs.size(); ++k) {
            choices.push_back({k});
        }
        choices.emplace_back(data.inputs.size());
        std::iota(choices.back().begin(), choices.back().end(), std::size_t{0});
        std::reverse(choices.back().begin(), choices.back().end());
        for (const bool approximate : {false, true}) {
            for (const std::vector<std::size_t>& wrt : choices) {
                std::vector<std::size_t> columns;
                for (const std::size_t k : wrt) {
                    const std::size_t first = std::accumulate(
                        data.inputs.begin(), data.inputs.begin() + static_cast<std::ptrdiff_t>(k), std::size_t{0},
                        [](std::size_t sum, const Value& v) { return sum + static_cast<std::size_t>(v.dimension()); });
                    for (int i = 0; i < data.inputs[k].dimension(); ++i) {
                        columns.push_back(first + static_cast<std::size_t>(i));
                    }
                }
                std::vector<double> chosen(rows * outputs * columns.size(), -1.0);
                RowOptions options;
                options.approximate = approximate;
                options.threads = 1 + static_cast<std::size_t>(round % 3);
                jacobian_rows(f, rows, data.given, wrt, chosen.data(), options);
                const bool by_forward = columns.size() < outputs;
                (by_forward ? forward : reverse) += approximate ? 0 : 1;
                for (std::size_t r = 0; r < rows; ++r) {
                    for (std::size_t o = 0; o < outputs; ++o) {
                        for (std::size_t c = 0; c < columns.size(); ++c) {
                            const double got = chosen[(r * outputs + o) * columns.size() + c];
                            const double want = single[(r * outputs + o) * all + columns[c]];
                            if (!by_forward && !approximate) {
                                EXPECT_TRUE(same_bits(got, want)) << "round " << round << " row " << r;
                            } else {
                                EXPECT_TRUE(agrees(got, want))
                                    << "round " << round << " row " << r << ": " << got << " against " << want;
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(forward, 100);
    EXPECT_GT(reverse, 100);
}

TEST(Rows, TheSummedValueAndGradientAreTheRowsOnes) {
    testing::RandomGraphMaker maker(20261213);
    int compared = 0;
    for (int round = 0; round < 200; ++round) {
        const testing::RandomGraph g = maker.make(12, false);
        const Value scalar = g.output.dimension() == 1 ? g.output : component(g.output, 0);
        const RandomRows data(g, true);
        const Function f(data.inputs, {scalar});
        const std::size_t all = f.input_lanes();
        std::vector<double> single(rows * all);
        std::vector<double> values(rows);
        try {
            for (std::size_t r = 0; r < rows; ++r) {
                std::vector<SmallValue> output(1);
                f.jacobian(data.row(r), std::span<double>(single).subspan(r * all, all), output);
                values[r] = output[0].lanes[0];
            }
        } catch (const std::invalid_argument&) {
            continue;
        }
        // Input 0 is given once: its gradient is summed; the others are each row's.
        std::vector<std::vector<double>> gradients;
        std::vector<std::size_t> wrt(data.inputs.size());
        std::iota(wrt.begin(), wrt.end(), std::size_t{0});
        for (const std::size_t k : wrt) {
            gradients.emplace_back((k == 0 ? 1 : rows) * static_cast<std::size_t>(data.inputs[k].dimension()), -1.0);
        }
        std::vector<double*> at;
        for (auto& gradient : gradients) {
            at.push_back(gradient.data());
        }
        const double value = value_and_grad_rows(f, rows, data.given, wrt, at);
        const auto close = [](double got, double want, double scale) {
            return !std::isfinite(want) || std::fabs(got - want) <= 1e-12 * std::max(1.0, scale);
        };
        double sum = 0.0;
        double size = 0.0;
        for (const double v : values) {
            sum += v;
            size += std::fabs(v);
        }
        EXPECT_TRUE(close(value, sum, size)) << "round " << round;
        std::size_t column = 0;
        for (const std::size_t k : wrt) {
            for (std::size_t i = 0; i < static_cast<std::size_t>(data.inputs[k].dimension()); ++i, ++column) {
                if (k == 0) {
                    double total = 0.0;
                    double scale = 0.0;
                    for (std::size_t r = 0; r < rows; ++r) {
                        total += single[r * all + column];
                        scale += std::fabs(single[r * all + column]);
                    }
                    EXPECT_TRUE(close(gradients[k][i], total, scale)) << "round " << round;
                    continue;
                }
                const auto dim = static_cast<std::size_t>(data.inputs[k].dimension());
                for (std::size_t r = 0; r < rows; ++r) {
                    EXPECT_TRUE(same_bits(gradients[k][r * dim + i], single[r * all + column])) << "round " << round;
                }
            }
        }
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

// Every way of running rows goes through one loop over chunks of rows and
// one search for the row that failed: each names the first failing row with
// its call's error, wherever that row lies (the first or last row of a block
// of rows, of a chunk, of the batch), in graphs run in blocks and row by
// row, on one thread or on every core.
TEST(Rows, EveryWayOfRunningRowsNamesTheFirstFailingRowAlike) {
    const Value x = undefined(1, "x");
    const Value y = undefined(1, "y");
    constexpr std::size_t count = 5000;  // blocks of 512 rows, chunks of 2048
    struct Graph {
        const char* what;
        Value output;
        bool has_hessian;
    };
    const Graph graphs[] = {
        {"blocks of rows", x / y, true},
        // A Divide with an extra operand, which its builder does not make
        // (nor derivative graphs of it).
        {"row by row", make_expression(ExpressionOp::Divide, 1, {x, y, x, {}}, 3, -1), false},
    };
    using Run = std::function<void(const Value& output, std::span<const double* const> columns, RowOptions options)>;
    const auto rows_of = [](std::span<const double* const> columns) {
        return std::vector<RowInput>{RowInput::per_row(columns[0]), RowInput::per_row(columns[1])};
    };
    const auto hessian_rows = [&](Hessian::Method method) {
        return [&x, &y, method](const Value& output, std::span<const double* const> columns, const RowOptions&) {
            const Hessian h(Function({x, y}, {output}), {0, 1}, method);
            std::vector<double> hessians(count * 4);
            h.rows(count, columns, hessians.data(), h.parameter_values());
        };
    };
    struct Way {
        const char* what;
        Run run;
        bool hessian = false;
    };
    const Way ways[] = {
        {"Function::evaluate_rows",
         [&](const Value& output, std::span<const double* const> columns, const RowOptions&) {
             std::vector<double> results(count);
             double* outputs[] = {results.data()};
             Function({x, y}, {output}).evaluate_rows(count, columns, outputs);
         }},
        {"Function::jacobian_rows",
         [&](const Value& output, std::span<const double* const> columns, const RowOptions&) {
             std::vector<double> jacobians(count * 2);
             Function({x, y}, {output}).jacobian_rows(count, columns, jacobians.data());
         }},
        {"evaluate_rows",
         [&](const Value& output, std::span<const double* const> columns, const RowOptions& options) {
             std::vector<double> results(count);
             double* outputs[] = {results.data()};
             evaluate_rows(Function({x, y}, {output}), count, rows_of(columns), outputs, options);
         }},
        {"jacobian_rows by reverse sweeps",
         [&](const Value& output, std::span<const double* const> columns, const RowOptions& options) {
             std::vector<double> jacobians(count * 2);
             const std::size_t wrt[] = {1, 0};
             jacobian_rows(Function({x, y}, {output}), count, rows_of(columns), wrt, jacobians.data(), options);
         }},
        {"jacobian_rows by forward sweeps",
         [&](const Value& output, std::span<const double* const> columns, const RowOptions& options) {
             std::vector<double> jacobians(count * 2);
             const std::size_t wrt[] = {0};
             jacobian_rows(Function({x, y}, {output, output * 2.0}), count, rows_of(columns), wrt, jacobians.data(),
                           options);
         }},
        {"value_and_grad_rows",
         [&](const Value& output, std::span<const double* const> columns, const RowOptions& options) {
             std::vector<double> gradients(count * 2);
             double* into[] = {gradients.data(), gradients.data() + count};
             const std::size_t wrt[] = {0, 1};
             value_and_grad_rows(Function({x, y}, {output}), count, rows_of(columns), wrt, into, options);
         }},
        {"value_and_grad_rows, x given once",
         [&](const Value& output, std::span<const double* const> columns, const RowOptions& options) {
             const double once = 1.5;
             const RowInput given[] = {RowInput::once(&once), RowInput::per_row(columns[1])};
             double gradient = 0.0;
             double* into[] = {&gradient};
             const std::size_t wrt[] = {0};
             value_and_grad_rows(Function({x, y}, {output}), count, given, wrt, into, options);
         }},
        {"Hessian::rows forward over reverse", hessian_rows(Hessian::Method::ForwardOverReverse), true},
        {"Hessian::rows reverse over reverse", hessian_rows(Hessian::Method::ReverseOverReverse), true},
    };
    for (const std::size_t failing : std::initializer_list<std::size_t>{0, 511, 512, 2047, 2048, 4095, 4999}) {
        std::vector<double> xs(count, 1.0);
        std::vector<double> ys(count, 2.0);
        ys[failing] = 0.0;
        xs.back() = testing::nan;  // a later row fails too
        const double* columns[] = {xs.data(), ys.data()};
        const std::string message = "symbolic value lanes must be finite (row " + std::to_string(failing) + ")";
        for (const Graph& graph : graphs) {
            for (const Way& way : ways) {
                if (way.hessian && !graph.has_hessian) {
                    continue;
                }
                for (const std::size_t threads : std::initializer_list<std::size_t>{1, 0}) {
                    RowOptions options;
                    options.threads = threads;
                    EXPECT_TRUE(testing::throws<std::invalid_argument>([&] { way.run(graph.output, columns, options); },
                                                                       message))
                        << way.what << ", " << graph.what << ", " << threads << " threads";
                }
            }
        }
    }
}

// A chunk of rows runs whole on one thread, and one row of a graph that goes
// row by row, or one block's sweeps, may each take long: the caller's check
// runs between them, not only between chunks.
TEST(Rows, TheCheckRunsBetweenRowsAndBlocksWithinAChunk) {
    const Value x = undefined(1, "x");
    struct Case {
        const char* what;
        Function f;
        std::size_t count;
    };
    const Case cases[] = {
        // An Add of three inputs, which its builder does not make: the reference evaluator's.
        {"a graph that goes row by row", Function({x}, {make_expression(ExpressionOp::Add, 1, {x, x, x, {}}, 3, -1)}),
         10},
        {"a graph run in blocks of rows", Function({x}, {x * 2.0}), 2000},
    };
    for (const Case& c : cases) {
        const std::vector<double> xs(c.count, 2.0);
        const RowInput input[] = {RowInput::per_row(xs.data())};
        const std::size_t wrt[] = {0};
        int checks = 0;
        RowOptions options;
        options.threads = 1;
        options.check = [&] {
            if (++checks == 2) {
                throw std::runtime_error("stopped");
            }
        };
        std::vector<double> results(c.count, -1.0);
        double* outputs[] = {results.data()};
        const auto stopped = [&](auto&& call) {
            checks = 0;
            std::fill(results.begin(), results.end(), -1.0);
            return testing::throws<std::runtime_error>(call, "stopped");
        };
        EXPECT_TRUE(stopped([&] { evaluate_rows(c.f, c.count, input, outputs, options); })) << c.what;
        EXPECT_EQ(results.back(), -1.0) << c.what;  // a row it did not reach is not written
        EXPECT_TRUE(stopped([&] { jacobian_rows(c.f, c.count, input, wrt, results.data(), options); })) << c.what;
        EXPECT_EQ(results.back(), -1.0) << c.what;
        EXPECT_TRUE(stopped([&] { value_and_grad_rows(c.f, c.count, input, wrt, outputs, options); })) << c.what;
        EXPECT_EQ(results.back(), -1.0) << c.what;
    }
}

// Fewer columns than output lanes: a block's Jacobian is a forward sweep per
// column, and the check runs between them, not only once the block is done.
TEST(Rows, TheCheckRunsBetweenTheForwardSweepsOfABlock) {
    const Value x = undefined(1, "x");
    const Value y = undefined(1, "y");
    const Function f({x, y}, {vec3(x * y, sin(x), y * y)});
    constexpr std::size_t count = 10;  // one block of one chunk
    const std::vector<double> xs(count, 0.5);
    const std::vector<double> ys(count, 2.0);
    const RowInput inputs[] = {RowInput::per_row(xs.data()), RowInput::per_row(ys.data())};
    const std::size_t wrt[] = {0, 1};
    std::vector<double> jacobians(count * 3 * 2, -1.0);
    int checks = 0;
    RowOptions options;
    options.threads = 1;
    options.check = [&] {
        ++checks;
        throw std::runtime_error("stopped");
    };
    EXPECT_TRUE(testing::throws<std::runtime_error>(
        [&] { jacobian_rows(f, count, inputs, wrt, jacobians.data(), options); }, "stopped"));
    EXPECT_EQ(checks, 1);
    // Stopped after the first column (x's): y's column is not written.
    EXPECT_EQ(jacobians[0], 2.0);
    EXPECT_EQ(jacobians.back(), -1.0);
}

}  // namespace
}  // namespace zarnik::symbolic
