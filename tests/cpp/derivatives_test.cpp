// Derivatives as graphs: gradient graphs that give backward's bits, second
// derivatives of every operation, directional derivatives, Hessians by
// either method, and the operations that derivatives are made of.

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "random_graphs.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::same_bits;
using testing::throws;

// Distinct nodes below `roots`.
std::size_t count_nodes(const std::vector<Value>& roots) {
    std::vector<const Value*> stack;
    for (const Value& root : roots) {
        stack.push_back(&root);
    }
    std::size_t count = 0;
    std::unordered_set<std::uint64_t> visited;
    while (!stack.empty()) {
        const Value* v = stack.back();
        stack.pop_back();
        if (!visited.insert(v->id()).second) {
            continue;
        }
        ++count;
        for (int i = 0; i < v->input_count(); ++i) {
            stack.push_back(&v->input(i));
        }
    }
    return count;
}

SmallValue zeros(int dimension) {
    SmallValue v;
    v.dimension = dimension;
    return v;
}

// What backward adds into a cleared gradient of each parameter.
std::vector<SmallValue> backward_gradients(const Value& y, const std::vector<Value>& parameters) {
    y.zero_grad();
    for (const Value& p : parameters) {
        p.zero_grad();
    }
    y.backward();
    std::vector<SmallValue> gradients;
    for (const Value& p : parameters) {
        gradients.push_back(p.has_grad() ? p.grad() : zeros(p.dimension()));
    }
    y.zero_grad();
    return gradients;
}

TEST(Gradient, GraphsGiveTheBitsThatBackwardWritesOnRandomGraphs) {
    testing::RandomGraphMaker maker(20240611);
    int compared = 0;
    int failed = 0;
    for (int round = 0; round < 400; ++round) {
        const testing::RandomGraph g = maker.make(14, false);
        const Value y = g.output.dimension() == 1 ? g.output : dot(g.output, g.output);
        std::vector<SmallValue> expected;
        try {
            expected = backward_gradients(y, g.parameters);
        } catch (const std::invalid_argument&) {
            continue;  // the graph itself overflowed
        }
        const std::vector<Value> gradients = gradient(y, g.parameters);
        ASSERT_EQ(gradients.size(), g.parameters.size());
        for (std::size_t k = 0; k < gradients.size(); ++k) {
            ASSERT_EQ(gradients[k].dimension(), g.parameters[k].dimension());
            SmallValue actual;
            try {
                actual = gradients[k].evaluate();
            } catch (const std::invalid_argument&) {
                // A value of the gradient graph is not finite: where backward's
                // gradient is not finite either, or an intermediate overflowed.
                ++failed;
                continue;
            }
            ++compared;
            EXPECT_TRUE(same_bits(actual, expected[k])) << "round " << round << " parameter " << k;
        }
        // Compiled, the same bits.
        const Function f({}, gradients);
        try {
            const std::vector<SmallValue> compiled = f({});
            for (std::size_t k = 0; k < gradients.size(); ++k) {
                EXPECT_TRUE(same_bits(compiled[k], expected[k])) << "round " << round << " parameter " << k;
            }
        } catch (const std::invalid_argument&) {
        }
    }
    EXPECT_GT(compared, 20 * failed);
    EXPECT_GT(compared, 400);
}

TEST(Gradient, LeavesNotReachedGetZerosAndTheOutputItselfGetsOne) {
    const Value p = parameter(1.0, 2.0, "p");
    const Value q = parameter(3.0, "q");
    const Value u = undefined(3, "u");
    const Value y = component(p, 1) * q;
    const std::vector<Value> g = gradient(y, {p, q, u, q});  // a leaf twice: its gradient twice
    ASSERT_EQ(g.size(), 4U);
    testing::expect_lanes(g[0].evaluate(), {0.0, 3.0});
    testing::expect_lanes(g[1].evaluate(), {2.0});
    ASSERT_TRUE(g[2].is_constant());
    testing::expect_lanes(g[2].value(), {0.0, 0.0, 0.0});
    testing::expect_lanes(g[3].evaluate(), {2.0});

    const std::vector<Value> itself = gradient(q, {q, p});
    ASSERT_TRUE(itself[0].is_constant());
    testing::expect_lanes(itself[0].value(), {1.0});
    testing::expect_lanes(itself[1].value(), {0.0, 0.0});
}

TEST(Gradient, PlaceholdersAreDifferentiatedAndStayPlaceholders) {
    const Value x = undefined(1, "x");
    const Value w = parameter(2.0, "w");
    const std::vector<Value> g = gradient(w * x * x, {x, w});
    const Function f({x}, g);
    const std::vector<SmallValue> at3 = f({small_value(3.0)});
    testing::expect_lanes(at3[0], {12.0});
    testing::expect_lanes(at3[1], {9.0});
}

TEST(Gradient, SharedSubexpressionsAreReusedNotCopied) {
    // A deep chain, each step using the parameter again.
    const Value p = parameter(0.3, "p");
    Value y = p;
    for (int k = 0; k < 2000; ++k) {
        y = sin(y) * 0.5 + p;
    }
    const std::size_t nodes = count_nodes({y});
    const std::vector<Value> g = gradient(y, {p});
    EXPECT_LE(count_nodes(g), 3 * nodes);

    // A least-squares loss over shared parameters.
    const Value a = parameter(0.1, "a"), b = parameter(0.2, "b"), c = parameter(0.3, "c"), d = parameter(2.5, "d");
    Value loss = constant(0.0);
    for (int i = 0; i < 500; ++i) {
        const double x = i / 500.0;
        const Value r = a + b * x + c * sin(d * x) - (std::sin(3.0 * x) + 0.5);
        loss = loss + r * r;
    }
    const std::vector<Value> fit = gradient(loss, {a, b, c, d});
    EXPECT_LE(count_nodes(fit), 3 * count_nodes({loss}));
}

// --- second derivatives ---------------------------------------------------------------

struct ScalarCase {
    const char* name;
    std::function<Value(Value, Value)> build;
    std::vector<std::pair<double, double>> at;
};

std::vector<ScalarCase> every_operation() {
    const std::vector<std::pair<double, double>> both_positive = {{0.7, 1.3}, {1.9, 0.4}};
    const std::vector<std::pair<double, double>> small = {{0.3, -0.6}, {-0.45, 0.2}};
    return {
        {"add", [](Value a, Value b) { return (a + b) * (a + b) * a; }, small},
        {"subtract", [](Value a, Value b) { return (a - b) * (a - b) * b; }, small},
        {"multiply", [](Value a, Value b) { return a * b * a; }, small},
        {"divide", [](Value a, Value b) { return a / b; }, both_positive},
        {"negate", [](Value a, Value b) { return -(a * b * b); }, small},
        {"sin", [](Value a, Value b) { return sin(a * b); }, small},
        {"cos", [](Value a, Value b) { return cos(a * b); }, small},
        {"sqrt", [](Value a, Value b) { return sqrt(a * b); }, both_positive},
        {"exp", [](Value a, Value b) { return exp(a * b); }, small},
        {"log", [](Value a, Value b) { return log(a * b); }, both_positive},
        {"log1p", [](Value a, Value b) { return log1p(a * b); }, small},
        {"expm1", [](Value a, Value b) { return expm1(a * b); }, small},
        {"tanh", [](Value a, Value b) { return tanh(a * b); }, small},
        {"sinh", [](Value a, Value b) { return sinh(a * b); }, small},
        {"cosh", [](Value a, Value b) { return cosh(a * b); }, small},
        {"tan", [](Value a, Value b) { return tan(a * b); }, small},
        {"asin", [](Value a, Value b) { return asin(a * b); }, small},
        {"acos", [](Value a, Value b) { return acos(a * b); }, small},
        {"atan", [](Value a, Value b) { return atan(a * b); }, small},
        {"abs", [](Value a, Value b) { return abs(a * b) * a; }, small},
        {"pow", [](Value a, Value b) { return pow(a, b); }, both_positive},
        {"atan2", [](Value a, Value b) { return atan2(a, b); }, small},
        {"minimum", [](Value a, Value b) { return minimum(a * a, b) * b; }, small},
        {"maximum", [](Value a, Value b) { return maximum(a * a, b) * a; }, small},
        {"vec and component", [](Value a, Value b) { return sum(sin(vec3(a, b, a * b)) * vec3(b, a, a)); }, small},
    };
}

// d/d(lane) of the gradient graph `g` at the current values, by central differences.
double difference_of(const Value& g, const Value& p, double at) {
    const double h = 1e-6 * std::max(1.0, std::fabs(at));
    p.set_value(small_value(at + h));
    const double up = g.evaluate()[0];
    p.set_value(small_value(at - h));
    const double down = g.evaluate()[0];
    p.set_value(small_value(at));
    return (up - down) / (2 * h);
}

TEST(SecondDerivatives, OfEveryOperationAgreeWithDifferencesOfTheGradientAndAreSymmetric) {
    for (const ScalarCase& c : every_operation()) {
        SCOPED_TRACE(c.name);
        const Value a = parameter(0.0, "a");
        const Value b = parameter(0.0, "b");
        const Value y = c.build(a, b);
        const std::vector<Value> g = gradient(y, {a, b});
        const std::vector<Value> ga = gradient(g[0], {a, b});
        const std::vector<Value> gb = gradient(g[1], {a, b});
        for (const auto& [x, z] : c.at) {
            a.set_value(small_value(x));
            b.set_value(small_value(z));
            const double haa = ga[0].evaluate()[0], hab = ga[1].evaluate()[0];
            const double hba = gb[0].evaluate()[0], hbb = gb[1].evaluate()[0];
            const auto near = [](double actual, double expected) {
                return std::fabs(actual - expected) <= 1e-6 * std::max(1.0, std::fabs(expected));
            };
            EXPECT_TRUE(near(haa, difference_of(g[0], a, x))) << haa << " at " << x << ", " << z;
            EXPECT_TRUE(near(hbb, difference_of(g[1], b, z))) << hbb;
            EXPECT_TRUE(near(hab, difference_of(g[0], b, z))) << hab;
            EXPECT_NEAR(hab, hba, 1e-12 * std::max(1.0, std::fabs(hab)));
        }
    }
}

// Where a function is not smooth, the gradient graph takes backward's
// conventions, and its own derivative there is that of the side it takes.
TEST(SecondDerivatives, WhereAFunctionIsNotSmooth) {
    struct Case {
        const char* what;
        std::function<Value(Value, Value)> build;
        double a, b;
        double da, db;    // the gradient
        double daa, dbb;  // the second derivatives along each operand
    };
    const std::vector<Case> cases = {
        {"abs at 0", [](Value a, Value) { return abs(a); }, 0.0, 1.0, 1.0, 0.0, 0.0, 0.0},
        {"abs at -0", [](Value a, Value) { return abs(a); }, -0.0, 1.0, 1.0, 0.0, 0.0, 0.0},
        {"abs of a square at 0", [](Value a, Value) { return abs(a * a * a); }, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0},
        {"minimum at a tie", [](Value a, Value b) { return minimum(a * a, b * b); }, 2.0, 2.0, 2.0, 2.0, 1.0, 1.0},
        {"maximum at a tie", [](Value a, Value b) { return maximum(a * a, b * b); }, -1.5, 1.5, -1.5, 1.5, 1.0, 1.0},
        {"pow with exponent 0", [](Value a, Value b) { return pow(a, b); }, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
        {"pow with base 0", [](Value a, Value b) { return pow(a, b); }, 0.0, 2.0, 0.0, 0.0, 2.0, 0.0},
        {"pow of a square at base 0", [](Value a, Value b) { return pow(a * a, b); }, 0.0, 1.0, 0.0, 0.0, 2.0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Value a = parameter(c.a, "a");
        const Value b = parameter(c.b, "b");
        const Value y = c.build(a, b);
        const std::vector<Value> g = gradient(y, {a, b});
        const std::vector<SmallValue> expected = backward_gradients(y, {a, b});
        EXPECT_TRUE(same_bits(g[0].evaluate(), expected[0]));
        EXPECT_TRUE(same_bits(g[1].evaluate(), expected[1]));
        EXPECT_EQ(g[0].evaluate()[0], c.da);
        EXPECT_EQ(g[1].evaluate()[0], c.db);
        EXPECT_EQ(gradient(g[0], {a})[0].evaluate()[0], c.daa);
        EXPECT_EQ(gradient(g[1], {b})[0].evaluate()[0], c.dbb);
    }
}

TEST(Gradient, Failures) {
    const Value p = parameter(1.0, 2.0, "p");
    const Value q = parameter(1.0, "q");
    const std::vector<testing::FailureCase> failures = {
        {"a vector output", [&] { gradient(p * 2.0, {p}); }, testing::Thrown::InvalidArgument,
         "a gradient needs a scalar output, not one of 2 lanes"},
        {"a constant leaf", [&] { gradient(q * 2.0, {constant(1.0)}); }, testing::Thrown::InvalidArgument,
         "a gradient's leaf must be a parameter or placeholder, not a constant"},
        {"an expression leaf", [&] { gradient(q * 2.0, {q * 3.0}); }, testing::Thrown::InvalidArgument,
         "a gradient's leaf must be a parameter or placeholder, not an expression"},
        {"an empty output", [&] { gradient(Value{}, {q}); }, testing::Thrown::InvalidArgument,
         "a gradient's output is not a valid symbolic value"},
        {"an empty leaf", [&] { gradient(q, {Value{}}); }, testing::Thrown::InvalidArgument,
         "a gradient's leaf is not a valid symbolic value"},
        {"a node its builders did not make",
         [&] { gradient(make_expression(ExpressionOp::Sin, 1, {p, Value{}, Value{}, Value{}}, 1, -1), {p}); },
         testing::Thrown::InvalidArgument,
         "cannot differentiate a graph holding a node that its builders did not make (Sin)"},
        {"a direction of another dimension",
         [&] { directional_derivatives(std::vector<Value>{q * q}, std::vector<Value>{q}, std::vector<Value>{p}); },
         testing::Thrown::InvalidArgument, "a direction must have its leaf's 1 lanes, not 2"},
        {"a leaf twice",
         [&] {
             directional_derivatives(std::vector<Value>{q * q}, std::vector<Value>{q, q}, std::vector<Value>{q, q});
         },
         testing::Thrown::InvalidArgument, "directional derivatives need distinct leaves"},
    };
    for (const testing::FailureCase& f : failures) {
        EXPECT_TRUE(throws(f.type, f.call, f.message)) << f.what;
    }
}

// --- directional derivatives, Hessians ---------------------------------------------------

// The extended Rosenbrock function of the lanes of `parts`, and its Hessian by formula.
Value rosenbrock(const std::vector<Value>& parts) {
    std::vector<Value> x;
    for (const Value& part : parts) {
        for (int i = 0; i < part.dimension(); ++i) {
            x.push_back(component(part, i));
        }
    }
    Value sum = constant(0.0);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
        const Value bend = x[i + 1] - x[i] * x[i];
        const Value slope = 1.0 - x[i];
        sum = sum + 100.0 * bend * bend + slope * slope;
    }
    return sum;
}

std::vector<double> rosenbrock_hessian(const std::vector<double>& x) {
    const std::size_t n = x.size();
    std::vector<double> h(n * n, 0.0);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        h[i * n + i] += 1200.0 * x[i] * x[i] - 400.0 * x[i + 1] + 2.0;
        h[(i + 1) * n + i + 1] += 200.0;
        h[i * n + i + 1] = h[(i + 1) * n + i] = -400.0 * x[i];
    }
    return h;
}

TEST(Hessian, OfTheExtendedRosenbrockFunctionIsExactlySymmetricByEitherMethod) {
    const std::vector<Value> parts = {undefined(4, "p"), undefined(4, "q"), undefined(4, "r")};
    const Function f(parts, {rosenbrock(parts)});
    const std::vector<double> x = {-1.2, 1.0, 0.3, -0.5, 0.8, 1.1, -0.7, 0.25, 1.3, 0.9, -0.1, 0.6};
    const std::vector<SmallValue> at = {small_value(x[0], x[1], x[2], x[3]), small_value(x[4], x[5], x[6], x[7]),
                                        small_value(x[8], x[9], x[10], x[11])};
    const std::vector<double> expected = rosenbrock_hessian(x);

    const Hessian chosen(f, {0, 1, 2});
    EXPECT_EQ(chosen.method(), Hessian::Method::ForwardOverReverse);  // each lane reaches two terms
    const Hessian sweeps(f, {0, 1, 2}, Hessian::Method::ReverseOverReverse);
    EXPECT_EQ(sweeps.method(), Hessian::Method::ReverseOverReverse);
    for (const Hessian* h : {&chosen, &sweeps}) {
        ASSERT_EQ(h->lanes(), 12U);
        std::vector<double> hessian(144);
        (*h)(at, hessian);
        for (std::size_t i = 0; i < 12; ++i) {
            for (std::size_t j = 0; j < 12; ++j) {
                EXPECT_NEAR(hessian[i * 12 + j], expected[i * 12 + j],
                            1e-12 * std::max(1.0, std::fabs(expected[i * 12 + j])));
                EXPECT_TRUE(same_bits(hessian[i * 12 + j], hessian[j * 12 + i]));
            }
        }
    }

    // A block over some inputs, in the order given: the same entries.
    const Hessian block(f, {2, 0});
    std::vector<double> full(144), part(64);
    chosen(at, full);
    block(at, part);
    const std::size_t lane_of[] = {8, 9, 10, 11, 0, 1, 2, 3};
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t j = 0; j < 8; ++j) {
            EXPECT_EQ(part[i * 8 + j], full[lane_of[i] * 12 + lane_of[j]]);
        }
    }

    // Rows give what single calls give.
    std::vector<double> rows(3 * 4 * 2);
    for (std::size_t r = 0; r < 2; ++r) {
        for (std::size_t k = 0; k < 3; ++k) {
            for (std::size_t i = 0; i < 4; ++i) {
                rows[k * 8 + r * 4 + i] = x[k * 4 + i] + static_cast<double>(r) * 0.125;
            }
        }
    }
    const double* inputs[] = {rows.data(), rows.data() + 8, rows.data() + 16};
    for (const Hessian* h : {&chosen, &sweeps}) {
        std::vector<double> batch(2 * 144);
        h->rows(2, inputs, batch.data(), h->parameter_values());
        for (std::size_t r = 0; r < 2; ++r) {
            std::vector<SmallValue> row;
            for (std::size_t k = 0; k < 3; ++k) {
                row.push_back(small_value(rows[k * 8 + r * 4], rows[k * 8 + r * 4 + 1], rows[k * 8 + r * 4 + 2],
                                          rows[k * 8 + r * 4 + 3]));
            }
            std::vector<double> single(144);
            (*h)(row, single);
            for (std::size_t e = 0; e < 144; ++e) {
                EXPECT_TRUE(same_bits(batch[r * 144 + e], single[e]));
            }
        }
    }
}

// Where every lane reaches the whole graph through products, the graph of
// the entries would outgrow a reverse sweep per lane.
TEST(Hessian, TakesTheReverseSweepsWhereEveryLaneReachesEverything) {
    const Value p = parameter(0.1, 0.2, 0.3, 0.4, "p");
    Value y = component(p, 0);
    for (int k = 0; k < 100; ++k) {
        y = sin(y * component(p, k % 4)) * 0.5 + component(p, (k + 1) % 4) * y;
    }
    const Function f({p}, {y});
    const Hessian chosen(f, {0});
    EXPECT_EQ(chosen.method(), Hessian::Method::ReverseOverReverse);
    const Hessian graph(f, {0}, Hessian::Method::ForwardOverReverse);
    EXPECT_EQ(graph.method(), Hessian::Method::ForwardOverReverse);
    const std::vector<SmallValue> at = {small_value(0.3, 0.5, 0.7, 0.9)};
    std::vector<double> one(16), other(16);
    chosen(at, one);
    graph(at, other);
    for (std::size_t e = 0; e < 16; ++e) {
        EXPECT_NEAR(one[e], other[e], 1e-10 * std::max(1.0, std::fabs(one[e])));
    }
}

TEST(FunctionDerivatives, JvpGivesTheOutputsBitsAndTheJacobianTimesTheTangents) {
    testing::RandomGraphMaker maker(77);
    std::mt19937_64 rng(5);
    int compared = 0;
    for (int round = 0; round < 200; ++round) {
        const testing::RandomGraph g = maker.make(10, false);
        const std::vector<Value> outputs = {g.output, g.values[g.values.size() / 2]};
        const Function f(g.parameters, outputs);
        const FunctionDerivatives derivatives(f);
        std::vector<SmallValue> at, tangents;
        std::vector<double> flat;
        for (const Value& p : g.parameters) {
            at.push_back(p.value());
            SmallValue t;
            t.dimension = p.dimension();
            for (int i = 0; i < t.dimension; ++i) {
                t.lanes[static_cast<std::size_t>(i)] = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
                flat.push_back(t[i]);
            }
            tangents.push_back(t);
        }
        std::vector<double> jacobian(f.output_lanes() * f.input_lanes());
        std::vector<SmallValue> values(2), directional(2);
        try {
            f.jacobian(at, jacobian);
            derivatives.jvp(at, tangents, values, directional);
        } catch (const std::invalid_argument&) {
            continue;  // not finite somewhere
        }
        EXPECT_TRUE(same_bits(values, f(at)));
        std::size_t row = 0;
        for (const SmallValue& d : directional) {
            for (int i = 0; i < d.dimension; ++i, ++row) {
                double expected = 0.0, scale = 0.0;
                for (std::size_t k = 0; k < flat.size(); ++k) {
                    expected += jacobian[row * flat.size() + k] * flat[k];
                    scale += std::fabs(jacobian[row * flat.size() + k] * flat[k]);
                }
                EXPECT_NEAR(d[i], expected, 1e-12 * std::max(1.0, scale)) << round;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 300);
}

TEST(FunctionDerivatives, HvpIsTheHessianTimesTheVector) {
    const std::vector<Value> parts = {undefined(4, "p"), undefined(1, "s"), parameter(0.5, -0.25, "w")};
    const Value y = rosenbrock(parts) * exp(component(parts[2], 1) * parts[1]) + sin(dot(parts[0], parts[0]));
    const Function f(parts, {y});
    const FunctionDerivatives derivatives(f);
    const std::vector<SmallValue> at = {small_value(0.3, -0.2, 0.9, 0.1), small_value(0.4), small_value(1.5, -0.5)};
    const std::vector<double> vector = {0.5, -1.0, 2.0, 0.25, -0.75, 1.5, 0.125};
    std::vector<double> product(7);
    derivatives.hvp(at, vector, product);
    std::vector<double> hessian(49);
    (*derivatives.hessian({0, 1, 2}))(at, hessian);
    for (std::size_t i = 0; i < 7; ++i) {
        double expected = 0.0, scale = 0.0;
        for (std::size_t j = 0; j < 7; ++j) {
            expected += hessian[i * 7 + j] * vector[j];
            scale += std::fabs(hessian[i * 7 + j] * vector[j]);
        }
        EXPECT_NEAR(product[i], expected, 1e-12 * std::max(1.0, scale));
    }
    // Kept: the same Hessian object on a second request.
    EXPECT_EQ(derivatives.hessian({0, 1, 2}), derivatives.hessian({0, 1, 2}));
}

TEST(FunctionDerivatives, Failures) {
    const Value x = undefined(2, "x");
    const Value w = parameter(1.0, "w");
    const FunctionDerivatives vector_output(Function({x, w}, {x * w}));
    const FunctionDerivatives scalar(Function({x, w}, {dot(x, x) * w}));
    const std::vector<SmallValue> at = {small_value(1.0, 2.0), small_value(3.0)};
    std::vector<SmallValue> one(1), other(1);
    std::vector<double> room(3);
    const std::vector<testing::FailureCase> failures = {
        {"a Hessian of a vector output", [&] { vector_output.hessian({0}); }, testing::Thrown::InvalidArgument,
         "a Hessian needs a function of one scalar output, not of 2 lanes"},
        {"a Hessian of an input that is not there", [&] { scalar.hessian({2}); }, testing::Thrown::InvalidArgument,
         "a Hessian's input 2 is not one of the function's 2 inputs"},
        {"a Hessian of an input twice", [&] { scalar.hessian({1, 1}); }, testing::Thrown::InvalidArgument,
         "a Hessian's inputs must be distinct"},
        {"an hvp of a vector output", [&] { vector_output.hvp(at, room, room); }, testing::Thrown::InvalidArgument,
         "a Hessian-vector product needs a function of one scalar output, not of 2 lanes"},
        {"an hvp with a short vector",
         [&] {
             std::vector<double> shorter(2);
             scalar.hvp(at, shorter, room);
         },
         testing::Thrown::InvalidArgument, "the vector must have the function's 3 input lanes, not 2"},
        {"a jvp with a tangent of another dimension",
         [&] { scalar.jvp(at, std::vector<SmallValue>{small_value(1.0), small_value(1.0)}, one, other); },
         testing::Thrown::InvalidArgument, "tangent 0 of the function has 2 lanes, not 1"},
        {"a jvp with too few tangents",
         [&] { scalar.jvp(at, std::vector<SmallValue>{small_value(1.0, 2.0)}, one, other); },
         testing::Thrown::InvalidArgument, "the function takes 2 inputs and as many tangents, not 2 and 1"},
        {"a jvp with an input of another dimension",
         [&] {
             scalar.jvp(std::vector<SmallValue>{small_value(1.0), small_value(3.0)},
                        std::vector<SmallValue>{small_value(1.0, 2.0), small_value(1.0)}, one, other);
         },
         testing::Thrown::InvalidArgument, "input 0 of the function has 2 lanes, not 1"},
    };
    for (const testing::FailureCase& f : failures) {
        EXPECT_TRUE(throws(f.type, f.call, f.message)) << f.what;
    }
}

// --- the operations that derivatives are made of --------------------------------------

TEST(DerivativeOperations, SignStepAndGateByEveryRouteWithTheirDerivatives) {
    struct Case {
        const char* name;
        std::function<Value(Value, Value)> build;
        double a, b;
        double value;
        double da, db;  // what backward adds (nothing: 0 into a cleared gradient)
    };
    const std::vector<Case> cases = {
        {"Sign", [](Value a, Value) { return sign(a); }, -2.5, 0.0, -1.0, 0.0, 0.0},
        {"Sign", [](Value a, Value) { return sign(a); }, 0.0, 0.0, 1.0, 0.0, 0.0},
        {"Sign", [](Value a, Value) { return sign(a); }, -0.0, 0.0, 1.0, 0.0, 0.0},
        {"Sign", [](Value a, Value) { return sign(a); }, 1e-300, 0.0, 1.0, 0.0, 0.0},
        {"Step", [](Value a, Value b) { return step(a, b); }, 1.0, 2.0, 1.0, 0.0, 0.0},
        {"Step", [](Value a, Value b) { return step(a, b); }, 2.0, 2.0, 0.5, 0.0, 0.0},
        {"Step", [](Value a, Value b) { return step(a, b); }, -0.0, 0.0, 0.5, 0.0, 0.0},
        {"Step", [](Value a, Value b) { return step(a, b); }, 3.0, -1e308, 0.0, 0.0, 0.0},
        {"Gate", [](Value a, Value b) { return gate(a, b); }, 0.0, 7.5, 0.0, 0.0, 0.0},
        {"Gate", [](Value a, Value b) { return gate(a, b); }, -0.0, -7.5, 0.0, 0.0, 0.0},
        {"Gate", [](Value a, Value b) { return gate(a, b); }, 1e-300, -7.5, -7.5, 0.0, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.a) + ", " + std::to_string(c.b));
        const Value a = parameter(c.a, "a");
        const Value b = parameter(c.b, "b");
        const Value y = c.build(a, b);
        EXPECT_STREQ(to_string(y.op()), c.name);
        EXPECT_TRUE(same_bits(y.evaluate()[0], c.value));
        EXPECT_TRUE(same_bits(Tape(y).evaluate()[0], c.value));
        EXPECT_TRUE(same_bits(Function({a, b}, {y})({small_value(c.a), small_value(c.b)})[0][0], c.value));
        const Value folded = c.build(constant(c.a), constant(c.b));
        ASSERT_TRUE(folded.is_constant());
        EXPECT_TRUE(same_bits(folded.value()[0], c.value));
        const std::vector<SmallValue> gradients = backward_gradients(y + a * 0.0 + b * 0.0, {a, b});
        EXPECT_TRUE(same_bits(gradients[0][0], c.da));
        EXPECT_TRUE(same_bits(gradients[1][0], c.db));
        // Their own derivatives, as graphs: zero, and gate(c, 1) for a gate's value.
        const std::vector<Value> g = gradient(y, {a, b});
        EXPECT_EQ(g[0].evaluate()[0], c.da);
        EXPECT_EQ(g[1].evaluate()[0], c.db);
    }
    // A gate's value is computed all the same: where it is not finite, the
    // graph fails, gate or not.
    const Value v = parameter(1.0, "v");
    const Value gated = gate(parameter(0.0, "c"), v / parameter(1e-300, "tiny") * 1e300);
    EXPECT_TRUE(throws<std::invalid_argument>([&] { gated.evaluate(); }, "symbolic value lanes must be finite"));
    testing::expect_lanes(gate(constant(0.0, 2.0), parameter(3.0, 4.0, "w")).evaluate(), {0.0, 4.0});
}

}  // namespace
}  // namespace zarnik::symbolic
