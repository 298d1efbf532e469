#include <cmath>
#include <numbers>
#include <stdexcept>

#include "symbolic/graph/operations.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using detail::binary_constant;
using detail::unary_constant;
using testing::expect_lanes;
using testing::throws;

struct BinaryCase {
    const char* what;
    ExpressionOp op;
    SmallValue left;
    SmallValue right;
    int dimension;
    SmallValue expected;
};

TEST(Folding, BinaryArithmeticCombinesLanesAndBroadcastsScalarsOnEitherSide) {
    const BinaryCase cases[] = {
        {"vector + scalar", ExpressionOp::Add, small_value(1, 2, 3), small_value(10), 3, small_value(11, 12, 13)},
        {"scalar + vector", ExpressionOp::Add, small_value(10), small_value(1, 2, 3), 3, small_value(11, 12, 13)},
        {"scalar - vector", ExpressionOp::Subtract, small_value(10), small_value(1, 2, 3), 3, small_value(9, 8, 7)},
        {"vector - scalar", ExpressionOp::Subtract, small_value(1, 2, 3), small_value(10), 3, small_value(-9, -8, -7)},
        {"vector / vector", ExpressionOp::Divide, small_value(1, 2), small_value(4, 8), 2, small_value(0.25, 0.25)},
        {"scalar / vector", ExpressionOp::Divide, small_value(1), small_value(2, 4, 8, 16), 4,
         small_value(0.5, 0.25, 0.125, 0.0625)},
        {"vector * vector", ExpressionOp::Multiply, small_value(1, 2, 3, 4), small_value(2, 3, 4, 5), 4,
         small_value(2, 6, 12, 20)},
        {"scalar * scalar into 4 lanes", ExpressionOp::Multiply, small_value(3), small_value(2), 4,
         small_value(6, 6, 6, 6)},
        {"scalar + scalar", ExpressionOp::Add, small_value(0.1), small_value(0.2), 1, small_value(0.1 + 0.2)},
    };
    for (const BinaryCase& test : cases) {
        SCOPED_TRACE(test.what);
        const SmallValue result = binary_constant(test.op, test.left, test.right, test.dimension);
        EXPECT_EQ(result.dimension, test.expected.dimension);
        // Spare lanes included: they stay 0.0.
        EXPECT_EQ(result.lanes, test.expected.lanes);
    }
}

TEST(Folding, NonFiniteResultsAreRejected) {
    const BinaryCase cases[] = {
        {"division by a zero lane", ExpressionOp::Divide, small_value(1, 2), small_value(2, 0), 2, {}},
        {"zero by zero", ExpressionOp::Divide, small_value(0), small_value(0), 1, {}},
        {"overflow", ExpressionOp::Multiply, small_value(1e308), small_value(10), 1, {}},
        {"overflowing sum", ExpressionOp::Add, small_value(1.7e308), small_value(1.7e308), 1, {}},
    };
    for (const BinaryCase& test : cases) {
        EXPECT_TRUE(
            throws<std::invalid_argument>([&] { binary_constant(test.op, test.left, test.right, test.dimension); },
                                          "symbolic value lanes must be finite"))
            << test.what;
    }
    const SmallValue infinite{1, {INFINITY, 0, 0, 0}};
    EXPECT_TRUE(throws<std::invalid_argument>([&] { unary_constant(ExpressionOp::Sin, infinite); },
                                              "symbolic value lanes must be finite"));
}

TEST(Folding, UnaryOperationsWorkLaneByLane) {
    const SmallValue negated = unary_constant(ExpressionOp::Negate, small_value(0.0, -1.5));
    expect_lanes(negated, {-0.0, 1.5});
    EXPECT_TRUE(std::signbit(negated.lanes[0]));
    EXPECT_FALSE(std::signbit(unary_constant(ExpressionOp::Negate, small_value(-0.0)).lanes[0]));

    const SmallValue sines = unary_constant(ExpressionOp::Sin, small_value(0.0, std::numbers::pi / 2));
    EXPECT_EQ(sines.lanes[0], 0.0);
    EXPECT_NEAR(sines.lanes[1], 1.0, 1e-15);
    EXPECT_EQ(sines.lanes[2], 0.0);

    const SmallValue cosines = unary_constant(ExpressionOp::Cos, small_value(0.0, 1.0, 2.0, 3.0));
    expect_lanes(cosines, {1.0, std::cos(1.0), std::cos(2.0), std::cos(3.0)});
}

TEST(Folding, UnsupportedOperationsAndDimensionsFailBeforeAnyLane) {
    for (const ExpressionOp op : {ExpressionOp::None, ExpressionOp::Negate, ExpressionOp::Pack, ExpressionOp::Component,
                                  ExpressionOp::Sin, static_cast<ExpressionOp>(99)}) {
        EXPECT_TRUE(throws<std::invalid_argument>([&] { binary_constant(op, small_value(1), small_value(2), 1); },
                                                  "unsupported binary symbolic expression op"));
    }
    for (const ExpressionOp op : {ExpressionOp::Add, ExpressionOp::Divide, ExpressionOp::Pack, ExpressionOp::None}) {
        EXPECT_TRUE(throws<std::invalid_argument>([&] { unary_constant(op, small_value(1)); },
                                                  "unsupported unary symbolic expression op"));
    }
    // A dimension outside 1..4 is reported whatever the operation.
    for (const int dimension : {0, -1, 5}) {
        EXPECT_TRUE(throws<std::invalid_argument>(
            [&] { binary_constant(ExpressionOp::Pack, small_value(1), small_value(2), dimension); },
            "symbolic value dimension must be in 1..4"));
    }
    EXPECT_TRUE(throws<std::invalid_argument>([] { unary_constant(ExpressionOp::Add, SmallValue{}); },
                                              "symbolic value dimension must be in 1..4"));
}

}  // namespace
}  // namespace zarnik::symbolic
