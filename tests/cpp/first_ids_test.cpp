#include "test_support.hpp"

namespace zarnik::symbolic {
namespace {

// Runs in a process of its own: ids start at 1 and follow creation order
// whatever the kind of node.
TEST(Ids, StartAtOneInAFreshProcessAndIncreaseByOne) {
    const Value first = undefined(2, "u");
    const Value second = constant(1.0);
    const Value third = second * parameter(2.0, "p");
    EXPECT_EQ(first.id(), 1U);
    EXPECT_EQ(second.id(), 2U);
    EXPECT_EQ(third.input(1).id(), 3U);
    EXPECT_EQ(third.id(), 4U);
}

}  // namespace
}  // namespace zarnik::symbolic
