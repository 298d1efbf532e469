// Sparse derivatives: patterns exact on small cases and containing every
// non-zero of the dense derivatives on random graphs, valid colourings, and
// compressed sweeps that give the dense entries.

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "random_graphs.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using Entries = std::set<std::pair<std::size_t, std::size_t>>;  // (row, column)

Entries entries_of(const SparsityPattern& p) {
    Entries out;
    for (std::size_t e = 0; e < p.entries(); ++e) {
        out.emplace(p.row_indices[e], p.column_indices[e]);
    }
    return out;
}

std::vector<std::size_t> every_input(const Function& f) {
    std::vector<std::size_t> all(f.inputs().size());
    std::iota(all.begin(), all.end(), std::size_t{0});
    return all;
}

// The pattern's own invariants: column order, rows ascending, starts.
void expect_well_formed(const SparsityPattern& p) {
    ASSERT_EQ(p.column_starts.size(), p.columns + 1);
    ASSERT_EQ(p.column_indices.size(), p.entries());
    for (std::size_t c = 0; c < p.columns; ++c) {
        for (std::size_t e = p.column_starts[c]; e < p.column_starts[c + 1]; ++e) {
            EXPECT_EQ(p.column_indices[e], c);
            EXPECT_LT(p.row_indices[e], p.rows);
            if (e > p.column_starts[c]) {
                EXPECT_LT(p.row_indices[e - 1], p.row_indices[e]);
            }
        }
    }
}

struct HandCase {
    std::string name;
    std::function<std::vector<Value>(const Value&, const Value&, const Value&)> outputs;  // of scalars x, y, z
    Entries jacobian;
    Entries hessian;  // of the sum of the output lanes
};

TEST(Sparsity, HandCasesAreExact) {
    const Value leaf_x = undefined(1, "x");
    const Value leaf_y = undefined(1, "y");
    const Value leaf_z = undefined(1, "z");
    const std::vector<HandCase> cases = {
        {"x*y couples x with y",
         [](auto& x, auto& y, auto&) { return std::vector{x * y}; },
         {{0, 0}, {0, 1}},
         {{0, 1}, {1, 0}}},
        {"x*x couples x with itself", [](auto& x, auto&, auto&) { return std::vector{x * x}; }, {{0, 0}}, {{0, 0}}},
        {"x+y couples nothing",
         [](auto& x, auto& y, auto&) { return std::vector{x + y - 2.0 * x}; },
         {{0, 0}, {0, 1}},
         {}},
        {"sin(x+y) couples its operand's set",
         [](auto& x, auto& y, auto&) { return std::vector{sin(x + y)}; },
         {{0, 0}, {0, 1}},
         {{0, 0}, {0, 1}, {1, 0}, {1, 1}}},
        {"x/y: numerator with divisor, divisor with itself",
         [](auto& x, auto& y, auto&) { return std::vector{x / y}; },
         {{0, 0}, {0, 1}},
         {{0, 1}, {1, 0}, {1, 1}}},
        {"x/2 is linear", [](auto& x, auto&, auto&) { return std::vector{x / 2.0}; }, {{0, 0}}, {}},
        {"constants fold before they couple",
         [](auto& x, auto&, auto&) { return std::vector{x * (constant(2.0) * constant(3.0))}; },
         {{0, 0}},
         {}},
        {"a component picks one lane of a pack",
         [](auto& x, auto& y, auto& z) { return std::vector{component(vec3(x * x, y, z * y), 1) * 1.5}; },
         {{0, 1}},
         {}},
        {"a component picks one lane of a vector",
         [](auto& x, auto& y, auto& z) { return std::vector{component(vec2(x, y) * vec2(z, y), 1)}; },
         {{0, 1}},
         {{1, 1}}},
        {"lane-wise vectors stay lane by lane",
         [](auto& x, auto& y, auto& z) { return std::vector{vec2(x, y) * vec2(y, z)}; },
         {{0, 0}, {0, 1}, {1, 1}, {1, 2}},
         {{0, 1}, {1, 0}, {1, 2}, {2, 1}}},
        {"a broadcast scalar reaches every lane",
         [](auto& x, auto& y, auto& z) { return std::vector{vec2(y, z) * x}; },
         {{0, 0}, {0, 1}, {1, 0}, {1, 2}},
         {{0, 1}, {1, 0}, {0, 2}, {2, 0}}},
        {"flat operations pass nothing on",
         [](auto& x, auto& y, auto& z) { return std::vector{sign(x * y) + step(x, z) * 3.0, abs(y) + z}; },
         {{1, 1}, {1, 2}},
         {}},
        {"a gate passes its value, not its condition",
         [](auto& x, auto& y, auto&) { return std::vector{gate(x * x, y * y)}; },
         {{0, 1}},
         {{1, 1}}},
        {"minimum is piecewise linear",
         [](auto& x, auto& y, auto&) { return std::vector{minimum(x, y * 2.0)}; },
         {{0, 0}, {0, 1}},
         {}},
        {"pow couples base and exponent",
         [](auto& x, auto&, auto& z) { return std::vector{pow(x, z)}; },
         {{0, 0}, {0, 2}},
         {{0, 0}, {0, 2}, {2, 0}, {2, 2}}},
        {"a product that no output uses adds nothing",
         [](auto& x, auto& y, auto& z) { return std::vector{component(vec2(x * y, z), 1)}; },
         {{0, 2}},
         {}},
        {"several outputs, summed in the Hessian",
         [](auto& x, auto& y, auto& z) { return std::vector{x * y, exp(z), x + z}; },
         {{0, 0}, {0, 1}, {1, 2}, {2, 0}, {2, 2}},
         {{0, 1}, {1, 0}, {2, 2}}},
    };
    for (const HandCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Function f({leaf_x, leaf_y, leaf_z}, c.outputs(leaf_x, leaf_y, leaf_z));
        const std::vector<std::size_t> all = every_input(f);
        const SparsityPattern jacobian = jacobian_sparsity(f, all);
        const SparsityPattern hessian = hessian_sparsity(f, all);
        expect_well_formed(jacobian);
        expect_well_formed(hessian);
        EXPECT_EQ(entries_of(jacobian), c.jacobian);
        EXPECT_EQ(entries_of(hessian), c.hessian);
    }
}

TEST(Sparsity, WrtChoosesAndOrdersTheColumns) {
    const Value x = undefined(1, "x");
    const Value v = undefined(2, "v");
    const Function f({x, v}, {x * component(v, 1)});
    const std::vector<std::size_t> wrt = {1, 0};  // v's lanes, then x
    EXPECT_EQ(entries_of(jacobian_sparsity(f, wrt)), (Entries{{0, 1}, {0, 2}}));
    EXPECT_EQ(entries_of(hessian_sparsity(f, wrt)), (Entries{{1, 2}, {2, 1}}));
    const std::vector<std::size_t> only_v = {1};
    EXPECT_EQ(entries_of(hessian_sparsity(f, only_v)), Entries{});
    const std::vector<std::size_t> twice = {0, 0};
    const std::vector<std::size_t> beyond = {2};
    EXPECT_THROW(jacobian_sparsity(f, twice), std::invalid_argument);
    EXPECT_THROW(hessian_sparsity(f, beyond), std::invalid_argument);
}

// Lanes that reach no entry take no sweep; the inputs are still checked as a call checks them.
TEST(SparseDerivatives, NoSweepWhereNoEntryIsReached) {
    const Value x = undefined(1, "x");
    const Value y = undefined(1, "y");
    const Function f({x, y}, {x * x + 2.0 * y, 3.0 * y});
    const std::vector<std::size_t> only_y = {1};
    const SparseHessian linear_in_y(f, only_y);
    const SparseJacobian jacobian(f, only_y);
    EXPECT_EQ(linear_in_y.sweeps(), 0U);
    EXPECT_EQ(linear_in_y.pattern().entries(), 0U);
    EXPECT_EQ(jacobian.sweeps(), 1U);
    const std::vector<double> weights = {1.0, 1.0};
    std::vector<double> none;
    const std::vector<SmallValue> at = {small_value(1.0), small_value(2.0)};
    linear_in_y(at, weights, none);
    std::vector<SmallValue> not_finite = at;
    not_finite[1].lanes[0] = testing::nan;
    EXPECT_THROW(linear_in_y(not_finite, weights, none), std::invalid_argument);
    const Function constant_in_y({x, y}, {x * x});
    EXPECT_EQ(SparseJacobian(constant_in_y, only_y).sweeps(), 0U);
}

// Every structural zero of the pattern is a zero of the dense derivatives,
// at random points of random graphs.
TEST(Sparsity, PatternsHoldEveryNonZeroOfRandomGraphs) {
    std::mt19937_64 rng(7);
    int compared = 0;
    for (std::uint64_t seed = 1; seed <= 150; ++seed) {
        testing::RandomGraphMaker maker(seed);
        const testing::RandomGraph g = maker.make(12, false);
        std::vector<Value> outputs(g.values.end() - 3, g.values.end());
        const Function f(g.parameters, outputs);
        const std::vector<std::size_t> all = every_input(f);
        const Entries jacobian = entries_of(jacobian_sparsity(f, all));
        const Entries hessian = entries_of(hessian_sparsity(f, all));
        const std::size_t n = f.input_lanes();
        const std::size_t m = f.output_lanes();
        // The Hessian of the output lanes' sum, for the Lagrangian's pattern.
        std::optional<Value> sum;
        for (const Value& out : outputs) {
            for (int l = 0; l < out.dimension(); ++l) {
                const Value lane = out.dimension() == 1 ? out : component(out, l);
                sum = sum ? *sum + lane : lane;
            }
        }
        const Function total(g.parameters, {*sum});
        const Hessian dense_hessian(total, all);
        for (int point = 0; point < 3; ++point) {
            std::vector<SmallValue> at;
            for (const Value& p : g.parameters) {
                SmallValue v;
                v.dimension = p.dimension();
                for (int l = 0; l < v.dimension; ++l) {
                    v.lanes[static_cast<std::size_t>(l)] = std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
                }
                at.push_back(v);
            }
            std::vector<double> dense(m * n);
            std::vector<double> second(n * n);
            try {
                f.jacobian(at, dense);
                dense_hessian(at, second);
            } catch (const std::invalid_argument&) {
                continue;  // a value on the way is not finite here
            }
            ++compared;
            for (std::size_t r = 0; r < m; ++r) {
                for (std::size_t c = 0; c < n; ++c) {
                    if (dense[r * n + c] != 0.0) {
                        EXPECT_TRUE(jacobian.contains({r, c})) << "seed " << seed << " entry " << r << "," << c;
                    }
                }
            }
            for (std::size_t r = 0; r < n; ++r) {
                for (std::size_t c = 0; c < n; ++c) {
                    if (second[r * n + c] != 0.0) {
                        EXPECT_TRUE(hessian.contains({r, c})) << "seed " << seed << " entry " << r << "," << c;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 200);
}

SparsityPattern random_pattern(std::mt19937_64& rng, std::size_t rows, std::size_t columns, double density,
                               bool symmetric) {
    std::vector<std::vector<std::uint32_t>> by_column(columns);
    std::bernoulli_distribution take(density);
    for (std::size_t c = 0; c < columns; ++c) {
        for (std::size_t r = symmetric ? c : 0; r < rows; ++r) {
            if (take(rng)) {
                by_column[c].push_back(static_cast<std::uint32_t>(r));
                if (symmetric && r != c) {
                    by_column[r].push_back(static_cast<std::uint32_t>(c));
                }
            }
        }
    }
    SparsityPattern p;
    p.rows = rows;
    p.columns = columns;
    p.column_starts.push_back(0);
    for (std::size_t c = 0; c < columns; ++c) {
        std::ranges::sort(by_column[c]);
        for (const std::uint32_t r : by_column[c]) {
            p.row_indices.push_back(r);
            p.column_indices.push_back(c);
        }
        p.column_starts.push_back(p.row_indices.size());
    }
    return p;
}

TEST(Colourings, NoTwoColumnsOrRowsOfOneColourShareALine) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t rows = 1 + rng() % 40;
        const std::size_t columns = 1 + rng() % 40;
        const SparsityPattern p = random_pattern(rng, rows, columns, 0.02 + 0.02 * (trial % 10), false);
        const Colouring by_columns = column_colouring(p);
        const Colouring by_rows = row_colouring(p);
        ASSERT_EQ(by_columns.colours.size(), columns);
        ASSERT_EQ(by_rows.colours.size(), rows);
        // Per row, the colours of its columns; per column, the colours of its rows.
        std::vector<std::set<std::uint32_t>> row_colours(rows);
        std::vector<std::set<std::uint32_t>> column_colours(columns);
        for (std::size_t e = 0; e < p.entries(); ++e) {
            const std::size_t r = p.row_indices[e];
            const std::size_t c = p.column_indices[e];
            EXPECT_LT(by_columns.colours[c], by_columns.count);
            EXPECT_TRUE(row_colours[r].insert(by_columns.colours[c]).second) << "row " << r << " trial " << trial;
            EXPECT_TRUE(column_colours[c].insert(by_rows.colours[r]).second) << "column " << c << " trial " << trial;
        }
    }
}

// Neighbours differ, and no path of four vertices has only two colours.
TEST(Colourings, StarColouringsHaveNoTwoColouredPathOfFour) {
    std::mt19937_64 rng(13);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t n = 2 + rng() % 25;
        const SparsityPattern p = random_pattern(rng, n, n, 0.05 + 0.03 * (trial % 8), true);
        const Colouring star = star_colouring(p);
        std::vector<std::vector<std::size_t>> adjacent(n);
        for (std::size_t e = 0; e < p.entries(); ++e) {
            if (p.row_indices[e] != p.column_indices[e]) {
                adjacent[p.column_indices[e]].push_back(p.row_indices[e]);
            }
        }
        const auto& colour = star.colours;
        for (std::size_t a = 0; a < n; ++a) {
            for (const std::size_t b : adjacent[a]) {
                EXPECT_NE(colour[a], colour[b]);
                for (const std::size_t c : adjacent[b]) {
                    for (const std::size_t d : adjacent[c]) {
                        if (c == a || d == b || d == a) {
                            continue;
                        }
                        EXPECT_FALSE(colour[a] == colour[c] && colour[b] == colour[d])
                            << "path " << a << "-" << b << "-" << c << "-" << d << " trial " << trial;
                    }
                }
            }
        }
    }
}

// A chain: each output lane couples neighbours, so a handful of colours
// cover any length, and the compressed sweeps give the dense entries.
TEST(SparseDerivatives, ChainsTakeAFewSweepsAndGiveTheDenseEntries) {
    const std::size_t n = 40;
    std::vector<Value> xs;
    for (std::size_t i = 0; i < n; ++i) {
        xs.push_back(undefined(1, "x"));
    }
    std::vector<Value> residuals;
    Value objective = constant(0.0);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        residuals.push_back(xs[i + 1] - xs[i] - 0.1 * sin(xs[i]) * xs[i + 1]);
        objective = objective + (xs[i + 1] - xs[i]) * (xs[i + 1] - xs[i]) + cos(xs[i]);
    }
    const Function constraints(xs, residuals);
    const Function cost(xs, {objective});
    const std::vector<std::size_t> all = every_input(constraints);
    const SparseJacobian jacobian(constraints, all);
    const SparseHessian hessian(cost, all);
    // Columns i and i + 2 share no row; a path needs three colours for a star.
    EXPECT_EQ(jacobian.method(), SparseJacobian::Method::Forward);
    EXPECT_EQ(jacobian.sweeps(), 2U);
    EXPECT_EQ(hessian.sweeps(), 3U);
    EXPECT_EQ(jacobian.pattern().entries(), 2 * (n - 1));
    EXPECT_EQ(hessian.pattern().entries(), 3 * n - 2);

    std::vector<SmallValue> at;
    for (std::size_t i = 0; i < n; ++i) {
        at.push_back(small_value(0.3 + 0.05 * static_cast<double>(i)));
    }
    std::vector<double> sparse(jacobian.pattern().entries());
    // Few colours: every sweep in one evaluation, with nothing between.
    int checks = 0;
    jacobian(at, sparse, [&checks] { ++checks; });
    EXPECT_EQ(checks, 0);
    std::vector<double> dense((n - 1) * n);
    constraints.jacobian(at, dense);
    const SparsityPattern& jp = jacobian.pattern();
    for (std::size_t e = 0; e < jp.entries(); ++e) {
        const double expected = dense[jp.row_indices[e] * n + jp.column_indices[e]];
        EXPECT_NEAR(sparse[e], expected, 1e-15 * std::fabs(expected));
    }
    std::vector<double> second(hessian.pattern().entries());
    const std::vector<double> weight = {1.0};
    hessian(at, weight, second, [&checks] { ++checks; });
    EXPECT_EQ(checks, 0);
    std::vector<double> full(n * n);
    Hessian(cost, all)(at, full);
    const SparsityPattern& hp = hessian.pattern();
    for (std::size_t e = 0; e < hp.entries(); ++e) {
        const double expected = full[hp.row_indices[e] * n + hp.column_indices[e]];
        EXPECT_NEAR(second[e], expected, 1e-15 * std::fabs(expected));
    }
    // The checks of a call, and of the room and weights given.
    std::vector<double> short_room(1);
    EXPECT_THROW(jacobian(at, short_room), std::invalid_argument);
    const std::vector<double> two = {1.0, 1.0};
    EXPECT_THROW(hessian(at, two, second), std::invalid_argument);
    std::vector<SmallValue> fewer(at.begin(), at.end() - 1);
    EXPECT_THROW(jacobian(fewer, sparse), std::invalid_argument);
}

// Reverse sweeps are chosen where rows need fewer colours: one output lane
// that reads every input (an arrow), beside outputs of one lane each.
TEST(SparseDerivatives, ReverseSweepsWhereRowsNeedFewerColours) {
    const std::size_t n = 12;
    std::vector<Value> xs;
    Value total = constant(0.0);
    for (std::size_t i = 0; i < n; ++i) {
        xs.push_back(undefined(1, "x"));
        total = total + xs.back() * xs.back();
    }
    std::vector<Value> outputs = {total};
    for (std::size_t i = 0; i < n; ++i) {
        outputs.push_back(exp(xs[i]));
    }
    const Function f(xs, outputs);
    const SparseJacobian jacobian(f, every_input(f));
    EXPECT_EQ(jacobian.method(), SparseJacobian::Method::Reverse);
    EXPECT_EQ(jacobian.sweeps(), 2U);
    std::vector<SmallValue> at;
    for (std::size_t i = 0; i < n; ++i) {
        at.push_back(small_value(0.1 * static_cast<double>(i) - 0.4));
    }
    std::vector<double> sparse(jacobian.pattern().entries());
    jacobian(at, sparse);
    std::vector<double> dense((n + 1) * n);
    f.jacobian(at, dense);
    const SparsityPattern& p = jacobian.pattern();
    for (std::size_t e = 0; e < p.entries(); ++e) {
        EXPECT_EQ(sparse[e], dense[p.row_indices[e] * n + p.column_indices[e]]) << "entry " << e;
    }
}

// An arrow: x0 couples with every other lane, which couple with nothing else.
// A star colouring takes two colours, where columns that share no row would
// take one per lane; the entries of x0's row are each read from the product
// along the others' colour at the other lane, never at x0's, where they add up.
TEST(SparseDerivatives, ArrowHessiansTakeTwoSweeps) {
    const std::size_t n = 10;
    std::vector<Value> xs;
    for (std::size_t i = 0; i < n; ++i) {
        xs.push_back(undefined(1, "x"));
    }
    Value rest = constant(0.0);
    Value squares = constant(0.0);
    for (std::size_t i = 1; i < n; ++i) {
        rest = rest + xs[i] * static_cast<double>(i);
        squares = squares + sin(xs[i]);
    }
    const Function f(xs, {xs[0] * rest + squares});
    const std::vector<std::size_t> all = every_input(f);
    const SparseHessian hessian(f, all);
    EXPECT_EQ(hessian.sweeps(), 2U);
    EXPECT_EQ(hessian.pattern().entries(), 3 * (n - 1));
    std::vector<SmallValue> at;
    for (std::size_t i = 0; i < n; ++i) {
        at.push_back(small_value(0.2 * static_cast<double>(i) - 0.7));
    }
    std::vector<double> sparse(hessian.pattern().entries());
    const std::vector<double> weight = {1.0};
    hessian(at, weight, sparse);
    std::vector<double> dense(n * n);
    Hessian(f, all)(at, dense);
    const SparsityPattern& p = hessian.pattern();
    for (std::size_t e = 0; e < p.entries(); ++e) {
        EXPECT_EQ(sparse[e], dense[p.row_indices[e] * n + p.column_indices[e]]) << "entry " << e;
    }
}

// Every lane reaches every output through a chain, so the sweeps of all
// colours together would be many times the graph: they run one by one, not
// fused into one graph of them all, with the check between them.
TEST(SparseDerivatives, ManyColoursSweepOneByOne) {
    const std::size_t n = 40;
    std::vector<Value> xs;
    for (std::size_t i = 0; i < n; ++i) {
        xs.push_back(undefined(1, "x"));
    }
    Value chain = xs[0];
    for (std::size_t i = 1; i < n; ++i) {
        chain = sin(chain) * xs[i];
    }
    std::vector<Value> outputs;
    for (std::size_t i = 0; i < n; ++i) {
        outputs.push_back(chain * xs[i]);
    }
    const Function f(xs, outputs);
    const SparseJacobian jacobian(f, every_input(f));
    ASSERT_EQ(jacobian.sweeps(), n);
    std::vector<SmallValue> at;
    for (std::size_t i = 0; i < n; ++i) {
        at.push_back(small_value(0.1 * static_cast<double>(i) - 0.3));
    }
    std::vector<double> sparse(jacobian.pattern().entries());
    int checks = 0;
    jacobian(at, sparse, [&checks] { ++checks; });
    EXPECT_EQ(checks, static_cast<int>(n) - 1);
    EXPECT_THROW(jacobian(at, sparse, [] { throw std::runtime_error("stop"); }), std::runtime_error);
    std::vector<double> dense(n * n);
    f.jacobian(at, dense);
    const SparsityPattern& p = jacobian.pattern();
    for (std::size_t e = 0; e < p.entries(); ++e) {
        const double expected = dense[p.row_indices[e] * n + p.column_indices[e]];
        EXPECT_NEAR(sparse[e], expected, 1e-15 * std::fabs(expected)) << "entry " << e;
    }
}

}  // namespace
}  // namespace zarnik::symbolic
