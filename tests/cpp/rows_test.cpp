// The rows API against single calls on random functions: Jacobians with
// respect to chosen inputs (by reverse sweeps the bits of single calls' columns,
// by forward sweeps the same numbers to rounding), inputs given once, and the
// summed value and gradient of a scalar output; in both arithmetics.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
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
