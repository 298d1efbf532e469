#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include "symbolic/graph/internal.hpp"
#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

using testing::expect_lanes;
using testing::throws;

using testing::inf;
using testing::nan;
constexpr double largest = std::numeric_limits<double>::max();
constexpr double subnormal = std::numeric_limits<double>::denorm_min();

TEST(SmallValue, EveryBuilderFillsLanesInOrderAndZeroesSpareLanes) {
    expect_lanes(small_value({1.5, 2.5}), {1.5, 2.5});
    expect_lanes(small_value(1.0), {1.0});
    expect_lanes(small_value(1.0, 2.0), {1.0, 2.0});
    expect_lanes(small_value(1.0, 2.0, 3.0), {1.0, 2.0, 3.0});
    expect_lanes(small_value(1.0, 2.0, 3.0, 4.0), {1.0, 2.0, 3.0, 4.0});
    expect_lanes(small_value(Vec<double, 1>{7.0}), {7.0});
    expect_lanes(small_value(Vec<double, 2>{7.0, 8.0}), {7.0, 8.0});
    expect_lanes(small_value(Vec<double, 3>{7.0, 8.0, 9.0}), {7.0, 8.0, 9.0});
    expect_lanes(small_value(Vec<double, 4>{7.0, 8.0, 9.0, 10.0}), {7.0, 8.0, 9.0, 10.0});
    for (const SmallValue& value : {small_value({1.5, 2.5}), small_value(1.0), small_value(Vec<double, 3>{1, 2, 3})}) {
        for (int lane = value.dimension; lane < 4; ++lane) {
            EXPECT_EQ(value.lanes[static_cast<std::size_t>(lane)], 0.0);
        }
    }
}

TEST(SmallValue, InitializerListMustHoldOneToFourLanes) {
    EXPECT_TRUE(
        throws<std::invalid_argument>([] { small_value({}); }, "symbolic value constructor expects 1..4 lanes"));
    EXPECT_TRUE(throws<std::invalid_argument>([] { small_value({1, 2, 3, 4, 5}); },
                                              "symbolic value constructor expects 1..4 lanes"));
    // The count is checked before any lane is read.
    EXPECT_TRUE(throws<std::invalid_argument>([] { small_value({nan, nan, nan, nan, nan}); },
                                              "symbolic value constructor expects 1..4 lanes"));
}

TEST(SmallValue, EveryBuilderRejectsNonFiniteLanes) {
    const std::function<void()> builders[] = {
        [] { small_value(1.0, nan); },
        [] { small_value(Vec<double, 3>{1, 2, inf}); },
        [] { small_value({-inf}); },
        [] { small_value(nan); },
        [] { small_value(1.0, 2.0, 3.0, -inf); },
        [] { small_value(Vec<double, 1>{nan}); },
    };
    for (const auto& build : builders) {
        EXPECT_TRUE(throws<std::invalid_argument>(build, "symbolic value lanes must be finite"));
    }
}

TEST(SmallValue, AcceptsNegativeZeroTheLargestDoubleAndSubnormals) {
    EXPECT_TRUE(std::signbit(small_value(-0.0).lanes[0]));
    EXPECT_EQ(small_value(largest).lanes[0], largest);
    EXPECT_EQ(small_value(-largest, subnormal).lanes[1], subnormal);
}

TEST(SmallValue, IndexIsBoundedByTheDimensionNotTheCapacity) {
    const SmallValue scalar = small_value(3.0);
    EXPECT_EQ(scalar[0], 3.0);
    EXPECT_TRUE(throws<std::out_of_range>([&] { (void)scalar[1]; }, "symbolic value lane index out of range"));
    EXPECT_TRUE(throws<std::out_of_range>([&] { (void)scalar[-1]; }, "symbolic value lane index out of range"));
    EXPECT_TRUE(throws<std::out_of_range>([] { (void)SmallValue{}[0]; }, "symbolic value lane index out of range"));
    EXPECT_EQ(small_value(1, 2, 3, 4)[3], 4.0);
}

TEST(SmallValue, RequireFiniteChecksTheDimensionFirstAndOnlyLanesInUse) {
    SmallValue spare_nan = small_value(1.0, 2.0);
    spare_nan.lanes[2] = nan;
    spare_nan.lanes[3] = inf;
    EXPECT_NO_THROW(detail::require_finite(spare_nan));

    EXPECT_TRUE(throws<std::invalid_argument>([] { detail::require_finite(SmallValue{}); },
                                              "symbolic value dimension must be in 1..4"));
    const SmallValue five{5, {1, 2, 3, 4}};
    EXPECT_TRUE(throws<std::invalid_argument>([&] { detail::require_finite(five); },
                                              "symbolic value dimension must be in 1..4"));
    const SmallValue bad_both{0, {nan, nan, nan, nan}};
    EXPECT_TRUE(throws<std::invalid_argument>([&] { detail::require_finite(bad_both); },
                                              "symbolic value dimension must be in 1..4"));
    const SmallValue nan_in_use{3, {1, 2, nan, 0}};
    EXPECT_TRUE(throws<std::invalid_argument>([&] { detail::require_finite(nan_in_use); },
                                              "symbolic value lanes must be finite"));
}

TEST(Vec, IsAContiguousFixedSizeVector) {
    Vec<double, 3> v{1.0, 2.0, 3.0};
    static_assert(Vec<double, 3>::size() == 3);
    static_assert(sizeof(Vec<double, 3>) == 3 * sizeof(double));
    v[1] = 5.0;
    EXPECT_EQ(v.data()[1], 5.0);
    double sum = 0.0;
    for (const double element : v) {
        sum += element;
    }
    EXPECT_EQ(sum, 9.0);
    EXPECT_EQ(v, (Vec<double, 3>{1.0, 5.0, 3.0}));
    EXPECT_NE(v, (Vec<double, 3>{1.0, 2.0, 3.0}));
}

}  // namespace
}  // namespace zarnik::symbolic
