// A nonlinear program's callbacks: each equal to what the function and its
// dense derivatives give, over one flat vector of variables; the Hessian's
// lower triangle only; sizes checked.

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::throws;

TEST(NonlinearProblem, CallbacksAreTheFunctionsDerivatives) {
    const Value x = undefined(1, "x");
    const Value v = undefined(2, "v");
    const Value objective = sin(x) * component(v, 0) + component(v, 1) * component(v, 1) * x;
    const Value circle = component(v, 0) * component(v, 0) + component(v, 1) * component(v, 1);
    const Value pair = v * x;  // two constraint lanes
    const NonlinearProblem problem(Function({x, v}, {objective, circle, pair}));
    ASSERT_EQ(problem.variables(), 3u);
    ASSERT_EQ(problem.constraints(), 3u);

    const std::vector<double> at{0.3, -1.2, 0.7};
    const std::vector<SmallValue> inputs{small_value(0.3), small_value(-1.2, 0.7)};
    const Function whole({x, v}, {objective, circle, pair});
    std::vector<double> dense(4 * 3);
    std::vector<SmallValue> outputs(3);
    whole.jacobian(inputs, dense, outputs);

    std::vector<double> gradient(3);
    EXPECT_EQ(problem.gradient(at, gradient), outputs[0].lanes[0]);
    EXPECT_EQ(problem.objective(at), outputs[0].lanes[0]);
    EXPECT_EQ(gradient, std::vector<double>(dense.begin(), dense.begin() + 3));
    std::vector<double> g(3);
    problem.constraint_values(at, g);
    EXPECT_EQ(g, (std::vector<double>{outputs[1].lanes[0], outputs[2].lanes[0], outputs[2].lanes[1]}));

    const SparsityPattern& jp = problem.jacobian_pattern();
    std::vector<double> jacobian(jp.entries());
    problem.jacobian(at, jacobian);
    std::vector<double> expanded(3 * 3, 0.0);
    for (std::size_t e = 0; e < jp.entries(); ++e) {
        expanded[jp.row_indices[e] * 3 + jp.column_indices[e]] = jacobian[e];
    }
    for (std::size_t k = 0; k < expanded.size(); ++k) {
        EXPECT_NEAR(expanded[k], dense[3 + k], 1e-15) << k;
    }

    // The Lagrangian's Hessian against the dense Hessian of the same
    // weighted sum, its weights as constants.
    const double factor = 0.5;
    const std::vector<double> multipliers{2.0, -1.0, 0.25};
    const Value lagrangian = factor * objective + multipliers[0] * circle + multipliers[1] * component(pair, 0) +
                             multipliers[2] * component(pair, 1);
    const Hessian reference(Function({x, v}, {lagrangian}), {0, 1});
    std::vector<double> full(9);
    reference(inputs, full);
    const SparsityPattern& hp = problem.hessian_pattern();
    std::vector<double> lower(hp.entries());
    problem.hessian(at, factor, multipliers, lower);
    std::vector<double> seen(9, 0.0);
    for (std::size_t e = 0; e < hp.entries(); ++e) {
        ASSERT_GE(hp.row_indices[e], hp.column_indices[e]);
        seen[hp.row_indices[e] * 3 + hp.column_indices[e]] = lower[e];
    }
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c <= r; ++c) {
            EXPECT_NEAR(seen[r * 3 + c], full[r * 3 + c], 1e-14) << r << ',' << c;
        }
    }
}

TEST(NonlinearProblem, WithoutConstraintsAndWithWrongSizes) {
    const Value x = undefined(1, "x");
    const Value y = undefined(1, "y");
    const NonlinearProblem free(Function({x, y}, {x * x * y}));
    EXPECT_EQ(free.constraints(), 0u);
    EXPECT_EQ(free.jacobian_pattern().rows, 0u);
    EXPECT_EQ(free.jacobian_pattern().columns, 2u);
    std::vector<double> none;
    free.constraint_values(std::vector<double>{1.0, 2.0}, none);
    free.jacobian(std::vector<double>{1.0, 2.0}, none);
    std::vector<double> lower(free.hessian_pattern().entries());
    free.hessian(std::vector<double>{1.0, 2.0}, 1.0, {}, lower);
    EXPECT_EQ(lower, (std::vector<double>{4.0, 2.0}));  // d2/dx2 = 2y, d2/dxdy = 2x

    std::vector<double> two(2);
    EXPECT_TRUE(throws<std::invalid_argument>([&] { free.objective(std::vector<double>{1.0}); },
                                              "a nonlinear problem of 2 variables was given 1"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { free.gradient(std::vector<double>{1.0, 2.0}, none); },
                                              "a nonlinear problem's gradient takes 2 values, not 0"));
    EXPECT_TRUE(throws<std::invalid_argument>(
        [&] { free.hessian(std::vector<double>{1.0, 2.0}, 1.0, std::vector<double>{1.0}, lower); },
        "a nonlinear problem of 0 constraints was given 1 multipliers"));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { NonlinearProblem(Function({x}, {vec2(x, x)})); },
                                              "a nonlinear problem's objective must be one lane, not 2"));
}

}  // namespace
}  // namespace zarnik::symbolic
