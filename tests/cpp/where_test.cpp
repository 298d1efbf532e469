// where: the branch taken on each lane by every route, the branch not taken
// free to be non-finite, its derivative an exact zero, and a failure that a
// taken branch carries through nodes that would hide it.

#include <cmath>
#include <vector>

#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::same_bits;
using testing::throws;

constexpr const char* not_finite = "symbolic value lanes must be finite";

TEST(Where, PicksLaneByLaneWithBroadcastingAndFolds) {
    const Value c = parameter(1.0, 0.0, -0.0, 3.0, "c");
    const Value x = parameter(1.0, 2.0, 3.0, 4.0, "x");
    const Value y = parameter(-5.0, "y");
    const Value w = where(c, x, y);
    EXPECT_EQ(w.op(), ExpressionOp::Where);
    EXPECT_STREQ(to_string(w.op()), "Where");
    testing::expect_lanes(w.evaluate(), {1.0, -5.0, -5.0, 4.0});
    testing::expect_lanes(Tape(w).evaluate(), {1.0, -5.0, -5.0, 4.0});
    const SmallValue folded = where(constant(small_value(0.0, 2.0)), constant(-0.0), 7.0).value();
    testing::expect_lanes(folded, {7.0, -0.0});
    EXPECT_TRUE(same_bits(folded[1], -0.0));
    EXPECT_TRUE(where(constant(1.0), x, y).same_node(x));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { where(c, parameter(1.0, 2.0, "v"), y); },
                                              "cannot combine symbolic values with dimensions 4 and 2"));
}

// where(x > 0, log(x), 0) at x = 0: log(0) = -inf and its slope inf, untaken.
TEST(Where, TheBranchNotTakenMayBeNonFiniteAndPassesBackAnExactZero) {
    const Value p = parameter(0.0, "p");
    const Value w = where(greater(p, 0.0), log(p), 0.0);
    testing::expect_lanes(w.evaluate(), {0.0});
    w.backward();
    EXPECT_TRUE(same_bits(p.grad()[0], 0.0));
    p.zero_grad();
    const Tape tape(w);
    testing::expect_lanes(tape.evaluate(), {0.0});
    const std::vector<Value> gradient = symbolic::gradient(w, {p});
    EXPECT_TRUE(same_bits(gradient[0].evaluate()[0], 0.0));
    const Value x = undefined(1, "x");
    const Function f({x}, {where(greater(x, 0.0), log(x), 0.0)});
    std::vector<double> jacobian(1);
    f.jacobian({small_value(0.0)}, jacobian);
    EXPECT_TRUE(same_bits(jacobian[0], 0.0));
    const std::vector<double> rows = {0.0, 1.0, -3.0, 0.25};
    std::vector<double> values(rows.size());
    const double* inputs[] = {rows.data()};
    double* outputs[] = {values.data()};
    f.evaluate_rows(rows.size(), inputs, outputs);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        EXPECT_TRUE(same_bits(values[r], rows[r] > 0.0 ? std::log(rows[r]) : 0.0)) << r;
    }
    std::vector<double> jacobians(rows.size());
    f.jacobian_rows(rows.size(), inputs, jacobians.data());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        EXPECT_TRUE(same_bits(jacobians[r], rows[r] > 0.0 ? 1.0 / rows[r] : 0.0)) << r;
    }
}

TEST(Where, ANonFiniteValueFailsWhereSomethingTakenUsesIt) {
    const Value p = parameter(0.0, "p");
    // Taken: log(0) itself, and through exp, which would make it 0.
    EXPECT_TRUE(throws<std::invalid_argument>([&] { where(less(p, 1.0), log(p), 0.0).evaluate(); }, not_finite));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { where(less(p, 1.0), exp(log(p)), 0.0).evaluate(); }, not_finite));
    // Also read outside the branch.
    const Value shared = log(p);
    EXPECT_TRUE(throws<std::invalid_argument>(
        [&] { (where(greater(p, 0.0), shared, 0.0) + minimum(shared, 0.0)).evaluate(); }, not_finite));
    // Through the condition of a where inside the branch taken.
    const Value nested = where(less(p, 1.0), where(less(log(p), 5.0), 1.0, 2.0), 0.0);
    EXPECT_TRUE(throws<std::invalid_argument>([&] { nested.evaluate(); }, not_finite));
    EXPECT_TRUE(throws<std::invalid_argument>([&] { Tape(nested).evaluate(); }, not_finite));
    p.set_value(small_value(2.0));
    testing::expect_lanes(nested.evaluate(), {0.0});
}

}  // namespace
}  // namespace zarnik::symbolic
